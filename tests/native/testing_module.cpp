// _vocarix_testing: a test-only extension that drives the segmentation and
// reachable addition of the core on an editor state of its own, so the tests
// can compare them with the runtime. Built only with
// -DVOCARIX_TESTING_MODULE=ON; it converts values and holds no logic.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "operations/addition.hpp"
#include "operations/reachable_addition.hpp"
#include "operations/segmentation.hpp"
#include "state/loading.hpp"

namespace py = pybind11;
using namespace vocarix;

namespace {

struct Editor {
    // Documents are read leniently, so that older forms load as the runtime reads them.
    explicit Editor(const std::string& text) : state(parse_tokenizer_text(text, ReadMode::kLenient)), segmenter(*state) {}
    std::unique_ptr<EditorState> state;
    Segmenter segmenter;
};

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

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

PYBIND11_MODULE(_vocarix_testing, m) {
    py::class_<Editor>(m, "Editor")
        .def(py::init<const std::string&>())
        .def("segment",
             [](Editor& e, const std::vector<std::string>& words) {
                 py::list out;
                 for (const WordPieces& w : e.segmenter.pieces_of(words))
                     out.append(py::make_tuple(w.pieces, w.ids, w.met_unknown));
                 return out;
             })
        .def("segment_once",
             [](Editor& e, const std::vector<std::string>& words) {
                 py::list out;
                 for (const WordPieces& w : segment_words(*e.state, words))
                     out.append(py::make_tuple(w.pieces, w.ids, w.met_unknown));
                 return out;
             })
        .def(
            "add_reachable",
            [](Editor& e, const std::vector<std::string>& words, bool add_unknown_characters) {
                ReachableOptions options{add_unknown_characters};
                py::list out;
                for (const std::string& word : words)
                    out.append(addition_dict(add_word_reachable(*e.state, e.segmenter, word, options)));
                return out;
            },
            py::arg("words"), py::arg("add_unknown_characters") = false)
        .def("add_prefix",
             [](Editor& e, const std::vector<std::string>& words) {
                 for (const std::string& word : words) add_token(*e.state, word);
                 e.segmenter.invalidate();
             })
        // Seconds spent in the core alone, for the speed measurements.
        .def("time_segment",
             [](Editor& e, const std::vector<std::string>& words) {
                 auto start = std::chrono::steady_clock::now();
                 Segmentation seg;
                 for (const std::string& word : words) e.segmenter.segment(word, seg);
                 return seconds_since(start);
             })
        .def("time_add_reachable",
             [](Editor& e, const std::vector<std::string>& words) {
                 auto start = std::chrono::steady_clock::now();
                 add_words_reachable(*e.state, words);
                 e.segmenter.invalidate();
                 return seconds_since(start);
             })
        .def("invalidate", [](Editor& e) { e.segmenter.invalidate(); })
        .def("unusable_merges", [](Editor& e) { return e.segmenter.unusable_merges(); })
        .def("vocab_size", [](Editor& e) { return e.state->vocab_size(); })
        .def("merge_count", [](Editor& e) { return e.state->merge_count(); })
        .def("to_json", [](Editor& e) { return write_document_text(*e.state).str(); });
}
