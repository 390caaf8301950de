"""Plain-Python reading of where the platform detector's rows and rules match, written with the
real `re`: each pattern searched in the view of the lexer its context names, reported at the line
where its first match begins (after any white space or blanked text it opens with).

The differential test and the detector's fuzz target compare the native scan with this.
"""

import re

from agents.transmute.detector import CODE, COMMENT, FLAGS, HASH_COMMENT, TEXT


def first_lines(patterns, text, code, comments):
    """{pattern index: line of its first match} for `patterns`, a list of (source or compiled
    pattern, context). Hash-comment rows come from the lexer, not from a search: left out."""
    found = {}
    for index, (pattern, context) in enumerate(patterns):
        if context == HASH_COMMENT:
            continue
        view = {CODE: code, TEXT: text, COMMENT: comments}[context]
        if view is None:
            continue
        m = re.search(pattern, view, FLAGS) if isinstance(pattern, str) else pattern.search(view)
        if m:
            start = m.start()
            while start < len(view) and view[start] in " \t\r\n\x01":
                start += 1
            found[index] = view.count("\n", 0, start) + 1
    return found
