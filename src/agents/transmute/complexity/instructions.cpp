// FileReadingStrategy.format_reading_instructions: the reading plan as instruction text for the
// model, read from the record's fields as the host's f-strings would read them.
// Tested in tests/test_reading.py.
#include "errors.hpp"
#include "functions.hpp"
#include "state.hpp"
#include "unpack.hpp"

using transmute::Ref;

namespace complexity {
namespace {

// Instruction texts given to the model.
constexpr const char* kWholeFileOpen = "Read the complete SQL file at `";
constexpr const char* kWholeFileClose = "` using the Read tool.";
constexpr const char* kChunkedIntro = "This is a ";
constexpr const char* kChunkedIntroEnd = "-line SQL file. Read it strategically:";
constexpr const char* kFirstReadOpen = "1. Read lines 1-";
constexpr const char* kFirstReadClose =
    " to understand structure (SET statements, parameters, procedure signature).";
constexpr const char* kSectionsIntro = "2. Then read each logical section:";
constexpr const char* kSectionOpen = "   - Lines ";
constexpr const char* kRangeDash = "-";
constexpr const char* kHintSeparator = ": ";
constexpr const char* kClosing =
    "\nUse the Read tool with offset and limit parameters. Do NOT try to read the entire file in "
    "one Read call.";

// Concatenates pieces, each a C text or format(value, "").
class TextBuilder {
public:
    explicit TextBuilder(State* st) : st_(st) {}
    bool text(const char* piece) {
        Ref item = Ref::steal(PyUnicode_FromString(piece));
        return append(std::move(item));
    }
    bool value(PyObject* value) { return append(Ref::steal(PyObject_Format(value, st_->text_empty))); }
    Ref finish() {
        Ref joined = Ref::steal(PyUnicode_Join(st_->text_empty, parts_.get()));
        parts_ = Ref::steal(PyList_New(0));
        return joined;
    }
    bool ok() const { return static_cast<bool>(parts_); }

private:
    bool append(Ref item) { return item && parts_ && PyList_Append(parts_.get(), item.get()) == 0; }
    State* st_;
    Ref parts_ = Ref::steal(PyList_New(0));
};

PyObject* format_reading_instructions_impl(PyObject* module, PyObject* const* args) {
    PyObject* self = args[0];
    PyObject* sql_path = args[1];
    if (!transmute::check_exact_type(sql_path, &PyUnicode_Type, "sql_path")) return nullptr;
    State* st = state_of(module);

    Ref should_chunk = Ref::steal(PyObject_GetAttr(self, st->str_should_chunk));
    if (!should_chunk) return nullptr;
    const int chunked = PyObject_IsTrue(should_chunk.get());
    if (chunked < 0) return nullptr;
    TextBuilder out(st);
    if (!chunked) {
        if (!out.text(kWholeFileOpen) || !out.value(sql_path) || !out.text(kWholeFileClose)) return nullptr;
        return out.finish().release();
    }

    Ref lines = Ref::steal(PyList_New(0));
    if (!lines) return nullptr;
    auto end_line = [&]() {
        Ref line = out.finish();
        return line && PyList_Append(lines.get(), line.get()) == 0;
    };
    Ref total = Ref::steal(PyObject_GetAttr(self, st->str_total_lines));
    if (!total || !out.text(kChunkedIntro) || !out.value(total.get()) || !out.text(kChunkedIntroEnd) ||
        !end_line())
        return nullptr;
    Ref first = Ref::steal(PyObject_GetAttr(self, st->str_first_read_lines));
    if (!first || !out.text(kFirstReadOpen) || !out.value(first.get()) || !out.text(kFirstReadClose) ||
        !end_line())
        return nullptr;
    if (!out.text(kSectionsIntro) || !end_line()) return nullptr;

    Ref boundaries = Ref::steal(PyObject_GetAttr(self, st->str_section_boundaries));
    if (!boundaries) return nullptr;
    Ref iterator = Ref::steal(PyObject_GetIter(boundaries.get()));
    if (!iterator) return nullptr;
    while (Ref entry = Ref::steal(PyIter_Next(iterator.get()))) {
        Ref parts[3];
        if (!transmute::unpack_exact(entry.get(), parts, 3)) return nullptr;
        if (!out.text(kSectionOpen) || !out.value(parts[0].get()) || !out.text(kRangeDash) ||
            !out.value(parts[1].get()) || !out.text(kHintSeparator) || !out.value(parts[2].get()) ||
            !end_line())
            return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    if (!out.text(kClosing) || !end_line()) return nullptr;
    Ref newline = Ref::steal(PyUnicode_FromString("\n"));
    if (!newline) return nullptr;
    return PyUnicode_Join(newline.get(), lines.get());
}

const char* const kFormatParams[] = {"self", "sql_path"};
const char* const kFormatAnnotations[] = {"sql_path", "str", "return", "str", nullptr};

}  // namespace

const transmute::FunctionDef kFormatReadingInstructions = {
    "format_reading_instructions",
    "FileReadingStrategy.format_reading_instructions",
    "Render the reading plan as instruction text for the model.",
    kFormatParams,
    2,
    nullptr,
    0,
    kFormatAnnotations,
    nullptr,
    format_reading_instructions_impl};

}  // namespace complexity
