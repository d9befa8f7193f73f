// Segmentation as the runtime's BPE model applies the file, and the
// reachable addition built on it.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <vector>

#include "bindings/common/convert.hpp"
#include "bindings/common/editor_object.hpp"
#include "bindings/tools/tools_bindings.hpp"
#include "operations/workflows/reachable_addition.hpp"
#include "analysis/segmentation.hpp"

namespace vocarix::tools {
namespace {

namespace py = pybind11;
using python::EditorObject;

py::list segment(EditorObject& editor, py::handle words_object) {
    python::SharedBorrow borrow(editor);
    std::vector<std::string> words = python::to_str_list(words_object, "words");
    py::list out;
    for (const WordPieces& word : segment_words(borrow.state(), words))
        out.append(py::make_tuple(word.pieces, word.ids, word.met_unknown));
    return out;
}

py::dict addition_dict(const ReachableAddition& r) {
    py::dict d;
    d["word"] = r.word;
    d["token"] = r.token;
    d["outcome"] = r.outcome;
    d["added"] = r.added;
    d["pieces_before"] = r.pieces_before;
    d["piece_ids_before"] = r.piece_ids_before;
    d["unknown_characters"] = r.unknown_characters;
    d["merges_appended"] = r.merges_appended;
    d["entries_created"] = r.entries_created;
    return d;
}

py::list add_words_reachable(EditorObject& editor, py::handle words_object, bool add_unknown_characters) {
    python::ExclusiveBorrow borrow(editor);
    std::vector<std::string> words = python::to_str_list(words_object, "words");
    py::list out;
    for (const ReachableAddition& r : vocarix::add_words_reachable(borrow.state(), words, {add_unknown_characters, ""}))
        out.append(addition_dict(r));
    return out;
}

std::size_t unusable_merges(EditorObject& editor) {
    python::SharedBorrow borrow(editor);
    Segmenter segmenter(borrow.state());
    return segmenter.unusable_merges();
}

}  // namespace

void register_segmentation(py::module_& module) {
    module.def("segment", &segment, py::arg("editor"), py::arg("words"),
               "How the file's BPE model splits each word: (pieces, their ids, met an unknown character).");
    module.def("add_words_reachable", &add_words_reachable, py::arg("editor"), py::arg("words"),
               py::arg("add_unknown_characters") = false,
               "Add each word with merges that join the pieces the model makes of it now, in order.");
    module.def("unusable_merges", &unusable_merges, py::arg("editor"),
               "How many merges the runtime could not apply (a part shorter than the subword prefix).");
}

}  // namespace vocarix::tools
