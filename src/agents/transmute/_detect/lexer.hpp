// SQL lexer of the platform detector: one pass over a script in its own character width that
// finds comments, string literals, quoted identifiers and template blocks as the dialects write
// them, and writes two views of the same length as the text:
//   - the code view: comments, template blocks and the contents of string literals blanked to
//     \x01 (line breaks kept; not white space, so that `^\s*` at a line inside a long blanked
//     comment or literal fails at once instead of running to its end), the quotes and prefixes of literals kept, so that a pattern about
//     code never matches inside a literal or a comment while one about a literal's opener
//     (`$$`, `q'[`, `'''`, `b'`) still does;
//   - the comment view: comment text kept, everything else turned into \x01 (line breaks kept), so
//     that a pattern about comments matches only inside comments and cannot run from one comment
//     into the next through blanked code.
// It also reports the shapes of literals, comments and templates as model features, the first
// MySQL-style `#` comment, and the offsets of the line breaks. Tested in tests/test_detector.py.
//
// Time is linear in the text: an opener whose closer is absent either runs to the end of the text
// (quotes, block comments, dollar quotes, as the dialects read them) or, for template delimiters,
// is remembered as closer-less so that later openers do not search again.
#pragma once

#include "features.hpp"
#include "regex/regex.hpp"
#include "simd.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace transmute::detect {

enum class Region : uint8_t { code, comment, literal, blank };

// What blanked text becomes in the views.
constexpr char kFill = 1;

[[gnu::noinline]] inline bool wide_word_char(uint32_t c) { return regex::is_word(c); }

// \w as the engine reads it; ASCII is answered inline because the lexer and the tokenizer ask
// of nearly every character.
template <class C>
[[gnu::always_inline]] inline bool word_char(C ch) {
    const uint32_t c = static_cast<uint32_t>(ch);
    if (c < 128) return (c | 32) - 'a' < 26 || c - '0' < 10 || c == '_';
    return wide_word_char(c);
}

template <class C>
inline bool ascii_letter(C ch) {
    const uint32_t c = static_cast<uint32_t>(ch);
    return c < 128 && (c | 32) - 'a' < 26;
}

template <class C>
inline bool horizontal_space(C ch) {
    return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\f' || ch == '\v';
}

template <class C>
struct LexResult {
    std::vector<C> code;          // the code view
    std::vector<C> comments;      // the comment view (empty when the text has no comment)
    std::vector<size_t> newlines; // offsets of '\n'
    size_t first_hash_comment = SIZE_MAX;
    bool has_comment = false;
};

template <class C, class Sink>
class Lexer {
public:
    Lexer(const C* s, size_t n, LexResult<C>& out, Sink& sink) : s_(s), n_(n), out_(out), sink_(sink) {}

    void run() {
        out_.code.assign(s_, s_ + n_);
        out_.comments.clear();
        out_.newlines.clear();
        out_.first_hash_comment = SIZE_MAX;
        out_.has_comment = false;
        comment_spans_.clear();
        back_mark_ = 0;
        back_last_ = 0;
        // A byte-order mark is no part of the script: the code view reads it as a space, so
        // that the first line starts as it would without it.
        if constexpr (sizeof(C) > 1) {
            if (n_ > 0 && static_cast<uint32_t>(s_[0]) == 0xFEFF) out_.code[0] = ' ';
        }
        skip_config_block();
        lex(pos_, true);
        if (out_.has_comment) build_comment_view();
    }

private:
    // Reads [i, n_) into the views. A routine body in dollar quotes is read by a nested call
    // with n_ set to the body's end.
    void lex(size_t i, bool line_start) {
        while (i < n_) {
            // Inside a line, only a few characters can open anything: jump to the next one. A
            // custom statement delimiter may start with any character, so it is looked for at
            // every character instead.
            if (!line_start && delimiter_len_ == 0) {
                // A line break, a comment, a literal, a quoted identifier, a template or a cell
                // marker; words, white space and other punctuation open nothing.
                i = find_any(i, n_, {'\n', '-', '/', '#', '%', '\'', '"', '`', '$', '{'});
                if (i >= n_) break;
            }
            const C c = s_[i];
            if (c == '\n') {
                out_.newlines.push_back(i);
                line_start = true;
                ++i;
                continue;
            }
            if (c == ' ' || c == '\t' || c == '\r') {
                ++i;
                continue;
            }
            const bool at_line_start = line_start;
            line_start = false;
            // MySQL's client command `DELIMITER $$` (or `//`, `;;`): the line is code, and the
            // new delimiter ends statements until the next DELIMITER line, so `END $$` opens
            // no dollar quote and `END //` no comment.
            if (at_line_start && (c == 'd' || c == 'D') && lower_equals(i, "delimiter") && i + 9 < n_ &&
                horizontal_space(s_[i + 9]) && !quoted_argument(i + 9)) {
                i = delimiter_line(i);
                continue;
            }
            if (delimiter_len_ > 0 && c == delimiter_[0] && at_delimiter(i)) {
                blank(i, i + delimiter_len_, Region::blank);
                i += delimiter_len_;
                resume_ = i;
                continue;
            }
            switch (c) {
                case '-':
                    if (i + 1 < n_ && s_[i + 1] == '-') {
                        i = line_comment(i, "c:--");
                        continue;
                    }
                    break;
                case '/':
                    if (i + 1 < n_ && s_[i + 1] == '*') {
                        i = block_comment(i);
                        continue;
                    }
                    if (i + 1 < n_ && s_[i + 1] == '/' && (at_line_start || horizontal_space(s_[i - 1]))) {
                        i = line_comment(i, "c://");
                        continue;
                    }
                    break;
                case '#':
                    if (hash_opens_comment(i, at_line_start)) {
                        i = hash_comment(i);
                        continue;
                    }
                    if (i + 1 < n_ && s_[i + 1] == '{') {
                        i = short_template(i, "t:#{");
                        continue;
                    }
                    break;
                case '%':
                    // A notebook cell marker (`%sql`, `%md`) at the start of a line.
                    if (at_line_start && i + 1 < n_ && ascii_letter(s_[i + 1])) {
                        i = line_comment(i, "c:%cell");
                        continue;
                    }
                    break;
                case '\'':
                    if (const size_t end = prefixed_before(i); end != i) {
                        i = end;
                        continue;
                    }
                    // ''' and a line break opens a triple-quoted string; elsewhere ''' is a
                    // string opening with an escaped quote.
                    if (i + 3 < n_ && s_[i + 1] == '\'' && s_[i + 2] == '\'' && (s_[i + 3] == '\n' || s_[i + 3] == '\r')) {
                        i = triple(i, i, '\'', "q:'''");
                        continue;
                    }
                    i = quoted(i, i, "q:sq");
                    continue;
                case '"':
                    if (const size_t end = prefixed_before(i); end != i) {
                        i = end;
                        continue;
                    }
                    if (i + 2 < n_ && s_[i + 1] == '"' && s_[i + 2] == '"') {
                        i = triple(i, i, '"', "q:\"\"\"");
                        continue;
                    }
                    i = quoted(i, i, "q:dq");
                    continue;
                case '`':
                    i = backtick(i);
                    continue;
                case '$':
                    if (i + 1 < n_ && s_[i + 1] == '{') {
                        i = dollar_brace(i);
                        continue;
                    }
                    if (i == 0 || (!word_char(s_[i - 1]) && s_[i - 1] != '$')) {
                        const size_t end = dollar_quote(i);
                        if (end != i) {
                            i = end;
                            continue;
                        }
                    }
                    break;
                case '{':
                    if (i + 1 < n_ && (s_[i + 1] == '{' || s_[i + 1] == '%' || s_[i + 1] == '#')) {
                        const size_t end = template_block(i);
                        if (end != i) {
                            i = end;
                            continue;
                        }
                    }
                    break;
                default:
                    if (word_char(c)) {
                        // A word opens nothing by itself (a string prefix is read at its quote,
                        // unless a custom delimiter starts with a word character): skip it whole.
                        ++i;
                        if (delimiter_len_ == 0 || !word_char(delimiter_[0]))
                            while (i < n_ && word_char(s_[i])) ++i;
                        continue;
                    }
                    break;
            }
            ++i;
        }
    }

    // The first position in [i, end) holding one of `want` (ASCII), or `end`.
    template <size_t N>
    size_t find_any(size_t i, size_t end, const char (&want)[N]) const {
        simd::Bytes lanes[N];
        for (size_t k = 0; k < N; ++k) lanes[k] = simd::splat(static_cast<uint8_t>(want[k]));
        for (; i + simd::kLanes <= end; i += simd::kLanes) {
            const uint32_t hits = simd::any_of(simd::load_clamped(s_ + i), lanes, static_cast<int>(N));
            if (hits) return i + simd::first(hits);
        }
        for (; i < end; ++i)
            for (char w : want)
                if (static_cast<uint32_t>(s_[i]) == static_cast<uint32_t>(w)) return i;
        return end;
    }

    // A string prefix (N, E, B, X, R, U, BR, RB, U&, Q, NQ) written as a word of its own right
    // before the quote at `quote`: the literal read from the prefix on, with the end it reaches;
    // `quote` when there is none. Only a word that starts where code resumed counts, so that the
    // tail of something already read never becomes a prefix.
    size_t prefixed_before(size_t quote) {
        size_t w = quote;
        if (s_[quote] == '\'' && quote >= 2 && s_[quote - 1] == '&' && (static_cast<uint32_t>(s_[quote - 2]) | 32) == 'u' &&
            ascii_letter(s_[quote - 2])) {
            w = quote - 2;
        } else {
            while (w > 0 && quote - w < 3 && ascii_letter(s_[w - 1])) --w;
        }
        if (w == quote || w < resume_ || (w > 0 && word_char(s_[w - 1]))) return quote;
        const size_t end = prefixed_literal(w);
        return end == w ? quote : end;
    }

    // Dataform: a `config { ... }` (or `js { ... }`) block at the head of a .sqlx file holds
    // JavaScript, not SQL.
    void skip_config_block() {
        size_t i = (n_ > 0 && static_cast<uint32_t>(s_[0]) == 0xFEFF) ? 1 : 0;
        pos_ = i;
        while (i < n_ && (s_[i] == ' ' || s_[i] == '\t' || s_[i] == '\r' || s_[i] == '\n')) ++i;
        size_t word = i;
        while (word < n_ && ascii_letter(s_[word])) ++word;
        const size_t len = word - i;
        const bool config = len == 6 && lower_equals(i, "config");
        if (!config) return;
        size_t j = word;
        while (j < n_ && (s_[j] == ' ' || s_[j] == '\t' || s_[j] == '\r' || s_[j] == '\n')) ++j;
        if (j >= n_ || s_[j] != '{') return;
        int depth = 0;
        size_t k = j;
        for (; k < n_; ++k) {
            const C c = s_[k];
            if (c == '{') {
                ++depth;
            } else if (c == '}') {
                if (--depth == 0) break;
            } else if (c == '"' || c == '\'' || c == '`') {
                // Skip a JavaScript string on its line.
                size_t m = k + 1;
                while (m < n_ && s_[m] != c && s_[m] != '\n') m += (s_[m] == '\\') ? 2 : 1;
                if (m < n_ && s_[m] == c) k = m;
            }
        }
        if (k >= n_) return;  // unbalanced: read it as code
        sink_.add("t:config", i);
        blank(i, k + 1, Region::blank);
        for (size_t m = i; m <= k; ++m)
            if (s_[m] == '\n') out_.newlines.push_back(m);
        pos_ = k + 1;
    }

    // A quoted word after DELIMITER is an option's value (Redshift's and Snowflake's COPY take
    // `DELIMITER '|'` on a line of its own), never the client command, whose delimiter is bare.
    bool quoted_argument(size_t k) const {
        while (k < n_ && horizontal_space(s_[k])) ++k;
        return k < n_ && (s_[k] == '\'' || s_[k] == '"');
    }

    size_t delimiter_line(size_t i) {
        const size_t end = line_end(i);
        size_t k = i + 9;
        while (k < end && horizontal_space(s_[k])) ++k;
        size_t stop = k;
        while (stop < end && !horizontal_space(s_[stop])) ++stop;
        delimiter_len_ = 0;
        const bool plain = stop - k == 1 && s_[k] == ';';
        if (!plain && stop > k && stop - k <= sizeof(delimiter_) / sizeof(C)) {
            for (size_t m = k; m < stop; ++m) delimiter_[delimiter_len_++] = s_[m];
            blank(k, stop, Region::blank);
        }
        sink_.add("l:delimiter", i);
        return end;
    }

    bool at_delimiter(size_t i) const {
        if (i + delimiter_len_ > n_) return false;
        for (size_t m = 0; m < delimiter_len_; ++m)
            if (s_[i + m] != delimiter_[m]) return false;
        return true;
    }

    bool lower_equals(size_t at, const char* word) const {
        for (size_t k = 0; word[k]; ++k) {
            if (at + k >= n_) return false;
            const uint32_t c = static_cast<uint32_t>(s_[at + k]);
            if (c >= 128 || static_cast<char>(c | 32) != word[k]) return false;
        }
        return true;
    }

    // '#' opens a comment unless it starts a temporary-table name (`#t`, `##t`), a JSON path
    // operator (`#>`, `#>>`, `#-`) or an interpolation (`#{`); `#standardSQL` at the head of a
    // line is BigQuery's dialect comment. A `#word` that heads a line where a statement may
    // start (the first code of the script, or after a `;` or under a DELIMITER line) is a
    // comment too: no statement starts with a temporary table's name.
    bool hash_opens_comment(size_t i, bool at_line_start) {
        if (i + 1 >= n_) return true;
        const C next = s_[i + 1];
        if (next == '>' || next == '{') return false;
        if (next == '-') return at_line_start;
        if (word_char(next) || next == '#') {
            if (!at_line_start) return false;
            if (lower_equals(i + 1, "standardsql") || lower_equals(i + 1, "legacysql")) return true;
            if (delimiter_len_ > 0) return true;
            const uint32_t before = code_before(i);
            return before == 0 || before == ';';
        }
        return true;
    }

    // The last character of code before i (white space and what the code view blanks passed
    // over), or 0 when there is none. Reads the code view backwards, no further than where the
    // last call started, whose answer holds beyond: each character is read once at most however
    // many lines ask.
    uint32_t code_before(size_t i) {
        if (i <= back_mark_) return back_last_;
        const C* code = out_.code.data();
        uint32_t found = back_last_;
        for (size_t k = i; k > back_mark_; --k) {
            const C c = code[k - 1];
            if (c != ' ' && c != '\t' && c != '\r' && c != '\n' && c != static_cast<C>(kFill)) {
                found = static_cast<uint32_t>(c);
                break;
            }
        }
        back_mark_ = i;
        back_last_ = found;
        return found;
    }

    size_t line_end(size_t i) const { return find_any(i, n_, {'\n'}); }

    size_t line_comment(size_t i, const char* feature) {
        const size_t end = line_end(i);
        sink_.add(feature, i);
        comment(i, end);
        return end;
    }

    size_t hash_comment(size_t i) {
        const size_t end = line_end(i);
        // `# standardSQL` is the dialect comment, not a MySQL one.
        size_t k = i + 1;
        while (k < end && horizontal_space(s_[k])) ++k;
        const bool magic = lower_equals(k, "standardsql") || lower_equals(k, "legacysql");
        // A notebook exported with Python cells: `# Databricks notebook source`, `# MAGIC`,
        // `# COMMAND ----------` mark cells, not MySQL comments.
        const bool notebook = lower_equals(k, "databricks notebook source") || lower_equals(k, "magic") ||
                              lower_equals(k, "command -");
        if (magic) {
            sink_.add("c:#standardsql", i);
        } else if (notebook) {
            sink_.add("c:#notebook", i);
        } else {
            sink_.add("c:#", i);
            if (out_.first_hash_comment == SIZE_MAX) out_.first_hash_comment = i;
        }
        comment(i, end);
        return end;
    }

    size_t block_comment(size_t i) {
        if (i + 2 < n_ && s_[i + 2] == '+') {
            sink_.add("c:/*+", i);
        } else if (i + 2 < n_ && s_[i + 2] == '!') {
            sink_.add("c:/*!", i);
        } else {
            sink_.add("c:/*", i);
        }
        size_t k = i + 2;
        while (k + 1 < n_) {
            k = find_any(k, n_ - 1, {'*', '\n'});
            if (k + 1 >= n_ || s_[k + 1] == '/') {
                if (k + 1 < n_ && s_[k] == '\n') {
                    out_.newlines.push_back(k);
                    ++k;
                    continue;
                }
                break;
            }
            if (s_[k] == '\n') out_.newlines.push_back(k);
            ++k;
        }
        size_t end = k + 1 < n_ ? k + 2 : n_;
        if (k + 1 >= n_ && k < n_ && s_[k] == '\n') out_.newlines.push_back(k);
        comment(i, end);
        return end;
    }

    void comment(size_t begin, size_t end) {
        out_.has_comment = true;
        comment_spans_.push_back({begin, end});
        blank(begin, end, Region::comment);
    }

    // Blanks [begin, end) of the code view, keeping line breaks.
    void blank(size_t begin, size_t end, Region) {
        C* code = out_.code.data();
        for (size_t k = begin; k < end; ++k)
            if (code[k] != '\n') code[k] = kFill;
    }

    // Blanks a literal's contents [begin, end), recording its line breaks.
    void blank_contents(size_t begin, size_t end) {
        C* code = out_.code.data();
        while (begin < end) {
            const size_t nl = find_any(begin, end, {'\n'});
            std::fill(code + begin, code + nl, static_cast<C>(kFill));
            if (nl == end) break;
            out_.newlines.push_back(nl);
            begin = nl + 1;
        }
    }

    // A quote-delimited literal or identifier opened at `open` (the quote; `start` is where its
    // prefix began): doubled quotes stand for one; a backslash escapes the quote when more of the
    // literal follows, as MySQL, BigQuery and Hive write `'it\'s'`, while a backslash before a
    // closing quote at the end of a value (`'C:\temp\'`) is a plain character, as SQL Server and
    // Oracle read it.
    size_t quoted(size_t start, size_t open, const char* feature) {
        const C q = s_[open];
        sink_.add(feature, start);
        size_t k = open + 1;
        bool escaped_quote = false;
        while (k < n_) {
            k = q == '\'' ? find_any(k, n_, {'\'', '\\'}) : find_any(k, n_, {'"', '\\'});
            if (k >= n_) break;
            const C c = s_[k];
            if (c == q) {
                if (k + 1 < n_ && s_[k + 1] == q) {
                    k += 2;
                    continue;
                }
                break;
            }
            if (c == '\\' && k + 1 < n_) {
                const C next = s_[k + 1];
                if (next == '\\') {
                    k += 2;
                    continue;
                }
                if (next == q) {
                    const C after = k + 2 < n_ ? s_[k + 2] : static_cast<C>(' ');
                    const bool closes = after == ' ' || after == '\t' || after == '\r' || after == '\n' ||
                                        after == ',' || after == ')' || after == ';';
                    if (!closes) {
                        escaped_quote = true;
                        k += 2;
                        continue;
                    }
                }
            }
            ++k;
        }
        if (escaped_quote) sink_.add("q:\\'", start);
        if (q == '"') {
            // Double quotes hold an identifier in most dialects and a string in a few; keep an
            // identifier's text for the patterns, blank a string-like one.
            bool plain = k - open - 1 <= 128;
            for (size_t m = open + 1; plain && m < k; ++m) {
                const C c = s_[m];
                plain = word_char(c) || c == ' ' || c == '$' || c == '#' || c == '@' || c == '.' || c == '-';
            }
            if (plain) return k < n_ ? k + 1 : n_;
        }
        blank_contents(open + 1, k);
        return k < n_ ? k + 1 : n_;
    }

    // '''..''' and """..""": BigQuery's and Python-like triple-quoted strings.
    size_t triple(size_t start, size_t open, C q, const char* feature) {
        sink_.add(feature, start);
        size_t k = open + 3;
        while (k + 2 < n_ && !(s_[k] == q && s_[k + 1] == q && s_[k + 2] == q)) k += (s_[k] == '\\') ? 2 : 1;
        const size_t close = k + 2 < n_ ? k : n_;
        blank_contents(open + 3, close);
        return close < n_ ? close + 3 : n_;
    }

    size_t backtick(size_t i) {
        size_t k = i + 1;
        bool dot = false, dash = false, star = false;
        while (k < n_ && s_[k] != '`' && s_[k] != '\n') {
            dot |= s_[k] == '.';
            dash |= s_[k] == '-';
            star |= s_[k] == '*';
            ++k;
        }
        if (k >= n_ || s_[k] != '`') return i + 1;  // a stray backtick
        sink_.add("q:bt", i);
        if (dot) sink_.add("q:bt.", i);
        if (dash) sink_.add("q:bt-", i);
        if (star) sink_.add("q:bt*", i);
        return k + 1;
    }

    // $$..$$ and $tag$..$tag$: PostgreSQL's and Snowflake's dollar-quoted strings. An opener
    // without its closer runs to the end of the text, as the server would read it. A routine's
    // body in SQL or PL/pgSQL (`AS $$`, `DO $$`, `EXECUTE IMMEDIATE $$`) is code: its quotes
    // stay, and what lies between them is read as code is, up to the closer and no further.
    size_t dollar_quote(size_t i) {
        size_t k = i + 1;
        if (k < n_ && (ascii_letter(s_[k]) || s_[k] == '_')) {
            while (k < n_ && (ascii_letter(s_[k]) || s_[k] == '_' || (s_[k] >= '0' && s_[k] <= '9'))) ++k;
        }
        if (k >= n_ || s_[k] != '$' || k - i > 64) return i;
        const size_t tag_len = k - i + 1;  // with both dollars
        sink_.add(tag_len == 2 ? "q:$$" : "q:$tag$", i);
        size_t m = k + 1;
        while (m < n_) {
            if (s_[m] == '$' && m + tag_len <= n_) {
                bool same = true;
                for (size_t t = 0; t < tag_len && same; ++t) same = s_[m + t] == s_[i + t];
                if (same) break;
            }
            ++m;
        }
        const size_t close = m < n_ ? m : n_;
        const bool body = close < n_ && body_depth_ < kMaxBodyDepth && routine_body(i, close + tag_len);
        last_dollar_end_ = close < n_ ? close + tag_len : n_;
        if (body) {
            const size_t end = n_;
            const bool expr = no_close_expr_, stmt = no_close_stmt_, note = no_close_note_;
            n_ = close;
            ++body_depth_;
            lex(k + 1, false);
            --body_depth_;
            n_ = end;
            last_dollar_end_ = close + tag_len;
            // A template closer missing from the body may still follow it.
            no_close_expr_ = expr, no_close_stmt_ = stmt, no_close_note_ = note;
            return close + tag_len;
        }
        blank_contents(k + 1, close);
        return close < n_ ? close + tag_len : n_;
    }

    // Whether the dollar quote opened at `open` (closed just before `after`) holds a routine's
    // body in SQL: the word before it is AS, DO or IMMEDIATE, and the statement names no
    // language but SQL or PL/pgSQL, before the body (within kLanguageReach characters) or right
    // after it.
    bool routine_body(size_t open, size_t after) const {
        size_t w = open;
        while (w > 0 && (horizontal_space(s_[w - 1]) || s_[w - 1] == '\n')) --w;
        size_t start = w;
        while (start > 0 && ascii_letter(s_[start - 1]) && w - start < 10) --start;
        if (start > 0 && word_char(s_[start - 1])) return false;
        const size_t len = w - start;
        const bool opener = (len == 2 && (lower_equals(start, "as") || lower_equals(start, "do"))) ||
                            (len == 9 && lower_equals(start, "immediate"));
        if (!opener) return false;
        // Not past the previous dollar quote's end: a statement has one body, so what lies
        // before it belongs to another (and a flood of bodies is read back only once).
        const size_t reach = std::max(start > kLanguageReach ? start - kLanguageReach : 0, last_dollar_end_);
        for (size_t b = start; b > reach; --b) {
            const C c = s_[b - 1];
            if (c == ';') break;
            if ((static_cast<uint32_t>(c) | 32) == 'l' && lower_equals(b - 1, "language") &&
                (b < 2 || !word_char(s_[b - 2])))
                return sql_language(b + 7);
        }
        size_t k = after;
        while (k < n_ && (horizontal_space(s_[k]) || s_[k] == '\n')) ++k;
        if (lower_equals(k, "language")) return sql_language(k + 8);
        return true;
    }

    // Whether the language named after `k` (`LANGUAGE` read up to `k`) is SQL or PL/pgSQL.
    bool sql_language(size_t k) const {
        if (k < n_ && word_char(s_[k])) return false;  // a longer word than LANGUAGE
        while (k < n_ && (horizontal_space(s_[k]) || s_[k] == '\n' || s_[k] == '\'' || s_[k] == '"')) ++k;
        size_t end = k;
        while (end < n_ && word_char(s_[end])) ++end;
        if (end < n_ && (s_[end] == '\'' || s_[end] == '"')) ++end;
        const size_t len = end - k;
        const bool quoted = len > 0 && (s_[end - 1] == '\'' || s_[end - 1] == '"');
        const size_t word = quoted ? len - 1 : len;
        return (word == 3 && lower_equals(k, "sql")) || (word == 7 && lower_equals(k, "plpgsql"));
    }

    // ${name} and ${ns:name}: Hive variables and Dataform expressions. The text stays code (a
    // pattern may look for `${hiveconf:`); the word after the brace is a feature.
    size_t dollar_brace(size_t i) {
        sink_.add("t:${", i);
        size_t k = i + 2;
        size_t word = k;
        while (word < n_ && ascii_letter(s_[word])) ++word;
        if (word > k && word - k <= 24) {
            char buf[32] = "t:${";
            size_t len = 4;
            for (size_t m = k; m < word; ++m) buf[len++] = static_cast<char>(static_cast<uint32_t>(s_[m]) | 32);
            sink_.add(std::string_view(buf, len), i);
        }
        return i + 2;
    }

    // #{param}: MyBatis and Ruby-style interpolation, on one line.
    size_t short_template(size_t i, const char* feature) {
        size_t k = i + 2;
        while (k < n_ && s_[k] != '}' && s_[k] != '\n') ++k;
        if (k >= n_ || s_[k] != '}') return i + 1;
        sink_.add(feature, i);
        blank(i, k + 1, Region::blank);
        return k + 1;
    }

    // {{ .. }}, {% .. %} and {# .. #}: Jinja (dbt) and similar templates.
    size_t template_block(size_t i) {
        const C kind = s_[i + 1];
        const C closer = kind == '{' ? static_cast<C>('}') : kind;
        bool& absent = kind == '{' ? no_close_expr_ : (kind == '%' ? no_close_stmt_ : no_close_note_);
        if (absent) return i;
        size_t k = i + 2;
        while (k + 1 < n_ && !(s_[k] == closer && s_[k + 1] == '}')) ++k;
        if (k + 1 >= n_) {
            absent = true;
            return i;
        }
        sink_.add(kind == '{' ? "t:{{" : (kind == '%' ? "t:{%" : "t:{#"), i);
        blank_contents(i, k + 2);
        return k + 2;
    }

    // String prefixes: N'..' (national), E'..' (escapes), B'..'/X'..' (bits, bytes), R'..' and
    // B'..' with triple quotes (BigQuery), U&'..', and Oracle's q'[..]'.
    size_t prefixed_literal(size_t i) {
        size_t k = i;
        char prefix[4];
        size_t len = 0;
        while (k < n_ && ascii_letter(s_[k]) && len < 3) prefix[len++] = static_cast<char>(static_cast<uint32_t>(s_[k++]) | 32);
        if (len == 1 && prefix[0] == 'u' && k + 1 < n_ && s_[k] == '&' && s_[k + 1] == '\'') ++k;  // U&'..'
        if (k >= n_ || (s_[k] != '\'' && s_[k] != '"')) return i;
        const std::string_view p(prefix, len);
        const C q = s_[k];
        if ((p == "q" || p == "nq") && q == '\'' && k + 1 < n_) return q_quote(i, k);
        const bool known = p == "n" || p == "e" || p == "b" || p == "x" || p == "r" || p == "u" ||
                           p == "br" || p == "rb";
        if (!known) return i;
        char feature[12] = "q:";
        size_t flen = 2;
        for (char ch : p) feature[flen++] = ch;
        feature[flen++] = static_cast<char>(q);
        sink_.add(std::string_view(feature, flen), i);
        if (k + 2 < n_ && s_[k + 1] == q && s_[k + 2] == q) return triple(i, k, q, q == '"' ? "q:\"\"\"" : "q:'''");
        if (p == "r" || p == "rb" || p == "br") return raw(i, k);
        return quoted(i, k, q == '"' ? "q:dq" : "q:sq");
    }

    size_t raw(size_t, size_t open) {
        const C q = s_[open];
        size_t k = open + 1;
        while (k < n_ && s_[k] != q && s_[k] != '\n') ++k;
        blank_contents(open + 1, k);
        // An unclosed raw string ends at its line; the line break is the main loop's.
        return k < n_ && s_[k] == q ? k + 1 : k;
    }

    // q'[..]' with the delimiter pairs [] () {} <> or any other character repeated.
    size_t q_quote(size_t i, size_t quote) {
        const C open = s_[quote + 1];
        C close = open;
        if (open == '[') close = ']';
        if (open == '(') close = ')';
        if (open == '{') close = '}';
        if (open == '<') close = '>';
        if (open == ' ' || open == '\n' || open == '\'') return i;
        sink_.add("q:q'", i);
        size_t k = quote + 2;
        while (k + 1 < n_ && !(s_[k] == close && s_[k + 1] == '\'')) ++k;
        const size_t end = k + 1 < n_ ? k : n_;
        blank_contents(quote + 2, end);
        return end < n_ ? end + 2 : n_;
    }

    void build_comment_view() {
        out_.comments.assign(n_, static_cast<C>(1));
        C* view = out_.comments.data();
        for (size_t nl : out_.newlines) view[nl] = '\n';
        for (const auto& [begin, end] : comment_spans_)
            for (size_t k = begin; k < end; ++k) view[k] = s_[k];
    }

    const C* s_;
    size_t n_;
    LexResult<C>& out_;
    Sink& sink_;
    size_t pos_ = 0;
    size_t resume_ = 0;  // where code resumed after the latest custom delimiter
    std::vector<std::pair<size_t, size_t>> comment_spans_;
    bool no_close_expr_ = false, no_close_stmt_ = false, no_close_note_ = false;
    C delimiter_[8] = {};
    size_t delimiter_len_ = 0;  // a custom statement delimiter in force, or 0
    // Routine bodies read as code inside one another, at most this deep (a deeper one stays a
    // literal); and how far back a body's LANGUAGE is looked for.
    static constexpr int kMaxBodyDepth = 3;
    static constexpr size_t kLanguageReach = 400;
    int body_depth_ = 0;
    size_t last_dollar_end_ = 0;  // where the latest dollar quote closed
    size_t back_mark_ = 0;        // where code_before() was last asked
    uint32_t back_last_ = 0;      // ... and the last code character before it (0: none)
};

}  // namespace transmute::detect
