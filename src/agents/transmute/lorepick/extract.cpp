// extract_sections: cuts a Markdown knowledge document down to the level-two sections (and the
// preamble) whose titles match a set of wanted titles, case-insensitively and either way round.
// The document is cut natively while the module's `re` is the import-time module with its own
// `split`; otherwise the cut goes through the module's `re.split`. Titles are lower-cased with
// the host's str.lower, whose full case mapping can change a title's length.
// Tested in tests/test_lorepick_extract.py.
#include "errors.hpp"
#include "functions.hpp"
#include "host_calls.hpp"
#include "state.hpp"
#include "text.hpp"

#include <algorithm>
#include <type_traits>
#include <vector>

using transmute::Ref;
using transmute::call_method;

namespace lorepick {
namespace {

// One piece of the document: its stripped text and its title. `title_lower` is filled only
// when the title is a host str, whose lower() cannot have side effects.
struct Piece {
    Ref stripped;  // null for a piece that is only whitespace
    Ref title;
    Ref title_lower;
};

// The wanted titles, lower-cased once when all of them are host strs.
struct Wanted {
    explicit Wanted(PyObject* caller_headers) : headers(caller_headers) {}
    PyObject* headers;  // the caller's set
    bool all_str = true;
    std::vector<Ref> lowered;
};

bool prepare_wanted(State* st, Wanted& wanted) {
    Ref iterator = Ref::steal(PyObject_GetIter(wanted.headers));
    if (!iterator) return false;
    while (Ref title = Ref::steal(PyIter_Next(iterator.get()))) {
        if (!PyUnicode_CheckExact(title.get())) {
            wanted.all_str = false;
            wanted.lowered.clear();
            return !PyErr_Occurred();
        }
        Ref lower = call_method(st->str_lower, title.get());
        if (!lower) return false;
        wanted.lowered.push_back(std::move(lower));
    }
    return !PyErr_Occurred();
}

// Where a piece of a host str lies, [begin, end) stripped, and its title: the first line,
// leading number signs removed, stripped again. An empty piece has begin == end.
struct Bounds {
    Py_ssize_t begin, end, title_begin, title_end;
};

template <class C>
Bounds piece_bounds(const C* s, Py_ssize_t begin, Py_ssize_t end) {
    transmute::strip_bounds(s, begin, end);
    Py_ssize_t line_end = begin;
    while (line_end < end && s[line_end] != '\n') ++line_end;
    Py_ssize_t title_begin = begin;
    while (title_begin < line_end && s[title_begin] == '#') ++title_begin;
    Py_ssize_t title_end = line_end;
    transmute::strip_bounds(s, title_begin, title_end);
    return {begin, end, title_begin, title_end};
}

template <class C>
bool cut_native(State* st, PyObject* text, const C* s, Py_ssize_t begin, Py_ssize_t end, Piece& piece) {
    const Bounds b = piece_bounds(s, begin, end);
    if (b.begin == b.end) return true;
    piece.stripped = Ref::steal(PyUnicode_Substring(text, b.begin, b.end));
    if (!piece.stripped) return false;
    piece.title = Ref::steal(PyUnicode_Substring(text, b.title_begin, b.title_end));
    if (!piece.title) return false;
    piece.title_lower = call_method(st->str_lower, piece.title.get());
    return static_cast<bool>(piece.title_lower);
}

bool cut_whole(State* st, PyObject* text, Piece& piece) {
    return transmute::visit_text(text, [&](const auto* s, Py_ssize_t n) {
        return cut_native(st, text, s, 0, n, piece);
    });
}

// A piece handed back by a replaced `re.split`: the same steps through the piece's own methods.
bool cut_host(State* st, PyObject* item, Piece& piece) {
    if (PyUnicode_CheckExact(item)) return cut_whole(st, item, piece);
    Ref stripped = call_method(st->str_strip, item);
    if (!stripped) return false;
    const int non_empty = PyObject_IsTrue(stripped.get());
    if (non_empty <= 0) return non_empty == 0;
    if (PyUnicode_CheckExact(stripped.get())) {
        if (!cut_whole(st, stripped.get(), piece)) return false;
        piece.stripped = std::move(stripped);
        return true;
    }
    Ref lines = call_method(st->str_split, stripped.get(), st->text_newline);
    if (!lines) return false;
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return false;
    Ref first_line = Ref::steal(PyObject_GetItem(lines.get(), zero.get()));
    if (!first_line) return false;
    Ref unmarked = call_method(st->str_lstrip, first_line.get(), st->text_hash);
    if (!unmarked) return false;
    piece.title = call_method(st->str_strip, unmarked.get());
    if (!piece.title) return false;
    if (PyUnicode_CheckExact(piece.title.get())) {
        piece.title_lower = call_method(st->str_lower, piece.title.get());
        if (!piece.title_lower) return false;
    }
    piece.stripped = std::move(stripped);
    return true;
}

Ref title_lower(State* st, const Piece& piece) {
    if (piece.title_lower) return piece.title_lower;
    return call_method(st->str_lower, piece.title.get());
}

// `h.lower() in title.lower() or title.lower() in h.lower()` for some wanted title h, evaluated
// in that order, one wanted title after another, stopping at the first that holds.
int is_wanted(State* st, const Piece& piece, const Wanted& wanted) {
    if (wanted.all_str && piece.title_lower) {
        for (const Ref& h : wanted.lowered) {
            int found = PyUnicode_Contains(piece.title_lower.get(), h.get());
            if (found == 0) found = PyUnicode_Contains(h.get(), piece.title_lower.get());
            if (found != 0) return found;
        }
        return 0;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(wanted.headers));
    if (!iterator) return -1;
    while (Ref h = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref h_lower = call_method(st->str_lower, h.get());
        if (!h_lower) return -1;
        Ref t_lower = title_lower(st, piece);
        if (!t_lower) return -1;
        int found = PySequence_Contains(t_lower.get(), h_lower.get());
        if (found != 0) return found;
        t_lower = title_lower(st, piece);
        if (!t_lower) return -1;
        h_lower = call_method(st->str_lower, h.get());
        if (!h_lower) return -1;
        found = PySequence_Contains(h_lower.get(), t_lower.get());
        if (found != 0) return found;
    }
    return PyErr_Occurred() ? -1 : 0;
}

bool keep_if_wanted(State* st, const Piece& piece, const Wanted& wanted, PyObject* kept) {
    if (!piece.stripped) return true;
    const int wanted_piece = is_wanted(st, piece, wanted);
    if (wanted_piece <= 0) return wanted_piece == 0;
    return PyList_Append(kept, piece.stripped.get()) == 0;
}

// Titles of ASCII characters up to this length are lower-cased and compared here, without
// objects: str.lower of ASCII text is ASCII lower-casing.
constexpr Py_ssize_t kShortTitle = 64;

// `needle in hay`, as str.__contains__ (the empty needle is in everything), in time linear in
// both (Knuth-Morris-Pratt): a wanted title can be long and repetitive. One of the two is
// always a title of at most kShortTitle characters, so a needle that fits in the hay does too.
template <class N, class H>
bool occurs(const N* needle, Py_ssize_t nn, const H* hay, Py_ssize_t nh) {
    if (nn > nh) return false;
    if (nn == 0) return true;
    Py_ssize_t fail[kShortTitle];  // longest proper prefix of needle[0..i] that ends at i
    fail[0] = 0;
    for (Py_ssize_t i = 1, k = 0; i < nn; ++i) {
        while (k > 0 && static_cast<Py_UCS4>(needle[i]) != static_cast<Py_UCS4>(needle[k])) k = fail[k - 1];
        if (static_cast<Py_UCS4>(needle[i]) == static_cast<Py_UCS4>(needle[k])) ++k;
        fail[i] = k;
    }
    for (Py_ssize_t i = 0, k = 0; i < nh; ++i) {
        while (k > 0 && static_cast<Py_UCS4>(hay[i]) != static_cast<Py_UCS4>(needle[k])) k = fail[k - 1];
        if (static_cast<Py_UCS4>(hay[i]) == static_cast<Py_UCS4>(needle[k])) ++k;
        if (k == nn) return true;
    }
    return false;
}

// is_wanted for a title lower-cased into `lower`, against the wanted titles lowered once.
bool wanted_short(const Wanted& wanted, const Py_UCS1* lower, Py_ssize_t n) {
    for (const Ref& h : wanted.lowered) {
        const bool found = transmute::visit_text(h.get(), [&](const auto* d, Py_ssize_t hn) {
            return occurs(d, hn, lower, n) || occurs(lower, n, d, hn);
        });
        if (found) return true;
    }
    return false;
}

// Where the next piece starts at or after `from` (from >= 1): a line that opens with "## ".
template <class C>
Py_ssize_t next_section_start(const C* s, Py_ssize_t n, Py_ssize_t from) {
    for (Py_ssize_t p = from; p + 3 <= n; ++p) {
        if (s[p - 1] == '\n' && s[p] == '#' && s[p + 1] == '#' && s[p + 2] == ' ') return p;
    }
    return n;
}

struct Span {
    Py_ssize_t begin, end;
};

// The cut of re.split('(?=^## )', text, flags=re.MULTILINE), done on the caller's string: the
// bounds of the pieces kept go to `kept`. A document that opens with "## " gives re.split an
// empty first piece, which is skipped anyway. A short ASCII title against wanted titles that
// are all host strs is tested without making objects; any other title goes through str
// objects as the host would.
bool select_native(State* st, PyObject* text, Wanted& wanted, std::vector<Span>& kept) {
    if (!prepare_wanted(st, wanted)) return false;
    return transmute::visit_text(text, [&](const auto* s, Py_ssize_t n) {
        Py_UCS1 lower[kShortTitle];
        Py_ssize_t begin = 0;
        while (begin < n) {
            const Py_ssize_t end = next_section_start(s, n, begin + 1);
            const Bounds b = piece_bounds(s, begin, end);
            begin = end;
            if (b.begin == b.end) continue;
            const Py_ssize_t length = b.title_end - b.title_begin;
            bool ascii = wanted.all_str && length <= kShortTitle;
            for (Py_ssize_t i = 0; ascii && i < length; ++i) {
                const Py_UCS4 c = s[b.title_begin + i];
                ascii = c < 0x80;
                lower[i] = static_cast<Py_UCS1>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
            }
            int keep;
            if (ascii) {
                keep = wanted_short(wanted, lower, length);
            } else {
                Piece piece;
                if (!cut_native(st, text, s, b.begin, b.end, piece)) return false;
                keep = is_wanted(st, piece, wanted);
                if (keep < 0) return false;
            }
            if (keep) kept.push_back({b.begin, b.end});
        }
        return true;
    });
}

// "\n\n".join of the kept pieces of `text`, made once at its final size.
Ref join_spans(State* st, PyObject* text, const std::vector<Span>& kept) {
    if (kept.empty()) return Ref::borrow(st->text_empty);
    Py_ssize_t total = 2 * static_cast<Py_ssize_t>(kept.size() - 1);
    Py_UCS4 widest = '\n';
    transmute::visit_text(text, [&](const auto* s, Py_ssize_t) {
        for (const Span& span : kept) {
            total += span.end - span.begin;
            for (Py_ssize_t i = span.begin; i < span.end; ++i) widest = std::max<Py_UCS4>(widest, s[i]);
        }
        return true;
    });
    Ref joined = Ref::steal(PyUnicode_New(total, widest));
    if (!joined) return {};
    // The new str is filled in place (it is no one else's yet), each character narrowed to
    // the str's own width where that is narrower than the document's.
    transmute::visit_text(text, [&](const auto* s, Py_ssize_t) {
        auto fill = [&](auto* out) {
            using Out = std::remove_pointer_t<decltype(out)>;
            Py_ssize_t at = 0;
            for (size_t k = 0; k < kept.size(); ++k) {
                if (k > 0) {
                    out[at++] = '\n';
                    out[at++] = '\n';
                }
                for (Py_ssize_t i = kept[k].begin; i < kept[k].end; ++i) out[at++] = static_cast<Out>(s[i]);
            }
            return true;
        };
        void* data = PyUnicode_DATA(joined.get());
        switch (PyUnicode_KIND(joined.get())) {
            case PyUnicode_1BYTE_KIND:
                return fill(static_cast<Py_UCS1*>(data));
            case PyUnicode_2BYTE_KIND:
                return fill(static_cast<Py_UCS2*>(data));
            default:
                return fill(static_cast<Py_UCS4*>(data));
        }
    });
    return joined;
}

bool select_host(State* st, const transmute::ReWithFlag& split, PyObject* text, Wanted& wanted, PyObject* kept) {
    PyObject* args[2] = {st->text_section_split, text};
    Ref pieces = split.call(args, 2, st->kw_flags);
    if (!pieces) return false;
    // Titles are lowered once only while no code of the caller's can run between the tests.
    bool plain = PyList_CheckExact(pieces.get());
    for (Py_ssize_t i = 0; plain && i < PyList_GET_SIZE(pieces.get()); ++i)
        plain = PyUnicode_CheckExact(PyList_GET_ITEM(pieces.get(), i));
    if (!plain)
        wanted.all_str = false;
    else if (!prepare_wanted(st, wanted))
        return false;
    Ref iterator = Ref::steal(PyObject_GetIter(pieces.get()));
    if (!iterator) return false;
    while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
        Piece piece;
        if (!cut_host(st, item.get(), piece) || !keep_if_wanted(st, piece, wanted, kept)) return false;
    }
    return !PyErr_Occurred();
}

PyObject* extract_sections_impl(PyObject* module, PyObject* const* args) {
    PyObject* full_text = args[0];
    PyObject* headers = args[1];
    if (!transmute::check_exact_type(full_text, &PyUnicode_Type, "full_text") ||
        !transmute::check_exact_type(headers, &PySet_Type, "headers"))
        return nullptr;
    State* st = state_of(module);
    if (PySet_GET_SIZE(headers) == 0 || PyUnicode_GET_LENGTH(full_text) == 0)
        return Py_NewRef(st->text_empty);

    // re.split(r"(?=^## )", full_text, flags=re.MULTILINE): cut natively while that is the
    // import-time `re.split` with the import-time flag.
    transmute::ReWithFlag split;
    if (!split.look_up(module, st->name_re, st->str_split, st->str_multiline)) return nullptr;
    const bool native = split.is(st->orig_re, st->orig_re_split, st->orig_re_multiline);
    Wanted wanted(headers);
    if (native) {
        std::vector<Span> kept;
        if (!select_native(st, full_text, wanted, kept)) return nullptr;
        return join_spans(st, full_text, kept).release();
    }
    Ref kept = Ref::steal(PyList_New(0));
    if (!kept || !select_host(st, split, full_text, wanted, kept.get())) return nullptr;
    return PyUnicode_Join(st->text_piece_separator, kept.get());
}

const char* const kParams[] = {"full_text", "headers"};
const char* const kAnnotations[] = {"full_text", "str", "headers", "set[str]", "return", "str", nullptr};

}  // namespace

const transmute::FunctionDef kExtractSections = {
    "extract_sections", "extract_sections",
    "Return the level-two sections (and preamble) of a Markdown document whose titles match one "
    "of the wanted titles, in document order, joined by a blank line.",
    kParams, 2, nullptr, 0, kAnnotations, nullptr, extract_sections_impl};

}  // namespace lorepick
