// The file's normalizer and pre-tokenizer applied to one text, as the
// runtime's normalize_str and pre_tokenize_str apply them, and the pattern
// matching underneath.
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "analysis/known_patterns.hpp"
#include "analysis/pre_tokenizer.hpp"
#include "bindings/common/convert.hpp"
#include "bindings/common/editor_object.hpp"
#include "bindings/tools/python_unicode_forms.hpp"
#include "bindings/tools/tools_bindings.hpp"
#include "document/text.hpp"
#include "learning/unicode_form_runs.hpp"

namespace vocarix::tools {
namespace {

namespace py = pybind11;
using python::EditorObject;

// Byte offsets of `text` as character offsets.
class CharOffsets {
public:
    explicit CharOffsets(std::string_view text) : chars_before_(text.size() + 1, 0) {
        std::size_t chars = 0;
        for (std::size_t i = 0; i < text.size(); ++i) {
            chars_before_[i] = chars;
            if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++chars;
        }
        chars_before_[text.size()] = chars;
    }
    py::tuple span(const TextSpan& bytes) const {
        return py::make_tuple(chars_before_[bytes.begin], chars_before_[bytes.end]);
    }

private:
    std::vector<std::size_t> chars_before_;
};

std::string utf8_of(py::handle text, const char* name) {
    std::string_view view = python::to_str(text, name);
    return std::string(view);
}

py::str normalize_text(EditorObject& editor, py::handle text_object) {
    std::string text = utf8_of(text_object, "text");
    python::SharedBorrow borrow(editor);
    PythonUnicodeForms forms;
    TextNormalizer normalizer(borrow.state().sections, &forms);
    std::string out;
    normalizer.normalize(text, out);
    return python::make_str(out);
}

py::list pre_tokenize_text(EditorObject& editor, py::handle text_object, bool at_start) {
    std::string text = utf8_of(text_object, "text");
    python::SharedBorrow borrow(editor);
    PreTokenizer pre_tokenizer(borrow.state().sections);
    if (!pre_tokenizer.unsupported_by().empty())
        python::raise(PyExc_ValueError, pre_tokenizer.unsupported_by() + " cannot be applied");
    std::vector<std::string> words;
    std::vector<TextSpan> sources;
    pre_tokenizer.split(text, at_start, words, sources);
    CharOffsets offsets(text);
    py::list out;
    for (std::size_t i = 0; i < words.size(); ++i)
        out.append(py::make_tuple(python::make_str(words[i]), offsets.span(sources[i])));
    return out;
}

py::list pattern_matches(py::handle pattern_object, py::handle text_object, bool hand_written) {
    std::string pattern = utf8_of(pattern_object, "pattern");
    std::string text = utf8_of(text_object, "text");
    std::vector<TextSpan> matches;
    const PreTokenStep::Pattern known = known_pattern(pattern);
    if (hand_written) {
        if (known == PreTokenStep::Pattern::kEngine) python::raise(PyExc_ValueError, "no hand-written matcher for this pattern");
        auto append = [&](TextSpan match) { matches.push_back(match); };
        match_known_pattern(known, text, append);
    } else {
        RegularExpression(pattern).find_all(text, matches);
    }
    CharOffsets offsets(text);
    py::list out;
    for (const TextSpan& match : matches) out.append(offsets.span(match));
    return out;
}

py::list kept_ranges(py::handle form_object) {
    py::list out;
    for (const CodePointRange& range : unicode_form_kept_ranges(python::to_str(form_object, "form")))
        out.append(py::make_tuple(range.first, range.last));
    return out;
}

}  // namespace

void register_text_pipeline(py::module_& module) {
    module.def("normalize_text", &normalize_text, py::arg("editor"), py::arg("text"),
               "The text after the file's normalizer, as the runtime's normalize_str gives it.");
    module.def("pre_tokenize_text", &pre_tokenize_text, py::arg("editor"), py::arg("text"), py::arg("at_start") = true,
               "The words the file's pre-tokenizer cuts normalized text into, in the model's alphabet, each with "
               "its (start, end) in characters of the text, as the runtime's pre_tokenize_str gives them.");
    module.def("pattern_matches", &pattern_matches, py::arg("pattern"), py::arg("text"), py::arg("hand_written") = false,
               "The (start, end) character offsets of a regular expression's matches as the runtime walks them; "
               "hand_written: by the hand-written matcher that stands in for the engine on this pattern.");
    module.def("unicode_form_kept_ranges", &kept_ranges, py::arg("form"),
               "The (first, last) code point ranges a normalization form is known to leave as they are, "
               "whose text is never handed to the Unicode database.");
}

}  // namespace vocarix::tools
