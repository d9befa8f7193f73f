// Learning from text: the words of a corpus counted as the runtime cuts
// them, and new merges learned from word counts.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <utility>
#include <vector>

#include "bindings/common/convert.hpp"
#include "bindings/common/editor_object.hpp"
#include "bindings/tools/tools_bindings.hpp"
#include "learning/merge_learning.hpp"
#include "learning/word_counting.hpp"

namespace vocarix::tools {
namespace {

namespace py = pybind11;
using python::EditorObject;
using python::make_int;

// Lowercase and the normalization forms from Python's own Unicode database.
class PythonUnicodeForms : public UnicodeForms {
public:
    void apply(std::string_view form, std::string_view text, std::string& out) override {
        py::str input = python::make_str(text);
        py::object result;
        if (form == "lowercase") {
            // Each character's own mapping: str.lower() would read a final
            // sigma from its context, so every capital sigma is lowered alone.
            py::str sigma("\u03a3");
            py::list parts = input.attr("split")(sigma);
            for (std::size_t i = 0; i < parts.size(); ++i) parts[i] = parts[i].attr("lower")();
            result = py::str("\u03c3").attr("join")(parts);
        } else {
            result = normalize_(python::make_str(form), input);
        }
        out.append(python::to_str(result, "normalized text"));
    }

private:
    py::object normalize_ = py::module_::import("unicodedata").attr("normalize");
};

std::vector<std::pair<std::string, std::uint64_t>> word_list(py::handle object, const char* name) {
    if (!PyDict_Check(object.ptr()))
        python::raise(PyExc_TypeError, std::string("argument '") + name + "': expected a dict of str to int");
    std::vector<std::pair<std::string, std::uint64_t>> words;
    words.reserve(static_cast<std::size_t>(PyDict_Size(object.ptr())));
    for (auto [key, value] : py::reinterpret_borrow<py::dict>(object))
        words.emplace_back(std::string(python::to_str(key, name)), python::to_u64(value, name));
    return words;
}

py::dict table_dict(const WordTable& table) {
    py::dict out;
    for (const auto& [word, count] : table.counts()) out[python::make_str(word)] = make_int(count);
    return out;
}

py::tuple count_words(EditorObject& editor, py::bytes data) {
    python::SharedBorrow borrow(editor);
    PythonUnicodeForms forms;
    WordCounter counter(borrow.state(), &forms);
    std::string_view text = data;
    counter.count_text(text);
    return py::make_tuple(table_dict(counter.words()), table_dict(counter.added_tokens()), make_int(counter.lines()));
}

void check_counting(EditorObject& editor) {
    python::SharedBorrow borrow(editor);
    PythonUnicodeForms forms;
    WordCounter counter(borrow.state(), &forms);
}

py::dict learn(EditorObject& editor, py::handle words_object, py::handle entries, py::handle min_count,
               bool add_characters) {
    LearnOptions options;
    options.entries = python::to_u64(entries, "entries");
    options.min_count = std::max<std::uint64_t>(1, python::to_u64(min_count, "min_count"));
    options.add_characters = add_characters;
    std::vector<std::pair<std::string, std::uint64_t>> words = word_list(words_object, "words");
    python::ExclusiveBorrow borrow(editor);
    LearnReport report = learn_merges(borrow.state(), words, options);
    py::dict out;
    py::list merges;
    for (const LearnedMerge& merge : report.merges) {
        py::dict d;
        d["left"] = merge.left;
        d["right"] = merge.right;
        d["result"] = merge.result;
        d["count"] = make_int(merge.count);
        d["new_entry"] = merge.new_entry;
        merges.append(d);
    }
    out["merges"] = merges;
    py::list characters;
    for (const LearnedCharacter& character : report.characters) {
        py::dict d;
        d["character"] = character.character;
        d["count"] = make_int(character.count);
        d["saved"] = make_int(character.saved);
        characters.append(d);
    }
    out["characters"] = characters;
    out["entries_created"] = report.entries_created;
    out["words"] = make_int(report.words);
    out["distinct_words"] = make_int(report.distinct_words);
    out["tokens_before"] = make_int(report.tokens_before);
    out["tokens_after"] = make_int(report.tokens_after);
    out["tokens_after_learned"] = make_int(report.tokens_after_learned);
    out["exhausted"] = report.exhausted;
    return out;
}

py::int_ tokens_for(EditorObject& editor, py::handle words_object) {
    std::vector<std::pair<std::string, std::uint64_t>> words = word_list(words_object, "words");
    python::SharedBorrow borrow(editor);
    return make_int(tokens_for_words(borrow.state(), words));
}

}  // namespace

void register_learning(py::module_& module) {
    module.def("count_words", &count_words, py::arg("editor"), py::arg("data"),
               "Words of UTF-8 text, line by line, as the model receives them: "
               "(word -> count, added token -> count, lines).");
    module.def("check_counting", &check_counting, py::arg("editor"),
               "Raises ValueError when the file's normalizer or pre-tokenizer cannot be applied exactly.");
    module.def("learn_merges", &learn, py::arg("editor"), py::arg("words"), py::arg("entries"),
               py::arg("min_count") = 2, py::arg("add_characters") = true,
               "Learn new merges from word counts, appended after every existing merge.");
    module.def("tokens_for_words", &tokens_for, py::arg("editor"), py::arg("words"),
               "How many tokens the model gives for word counts.");
}

}  // namespace vocarix::tools
