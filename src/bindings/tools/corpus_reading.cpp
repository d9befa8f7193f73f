// The reading of corpora shared by the processes that count them: streams
// read in runs of whole lines (or of pieces of long lines), where a file is
// cut into chunks, and the rule that says where a long line may be cut.
#include "bindings/tools/corpus_reading.hpp"

#include <string>

#include "bindings/common/convert.hpp"
#include "bindings/tools/python_unicode_forms.hpp"
#include "bindings/tools/tools_bindings.hpp"

namespace vocarix::tools {

LineCutRule line_cut_rule(python::EditorObject& editor, UnicodeForms& forms) {
    python::SharedBorrow borrow(editor);
    TextNormalizer normalizer(borrow.state().sections, &forms);
    return LineCutRule(borrow.state(), normalizer);
}

namespace {

namespace py = pybind11;
using python::EditorObject;
using python::make_int;

// Where the lines of a corpus counted for every one of some files may be cut.
class LineCuts {
public:
    explicit LineCuts(const py::list& editors) {
        PythonUnicodeForms forms;
        bool first = true;
        for (py::handle editor : editors) {
            LineCutRule rule = line_cut_rule(editor.cast<EditorObject&>(), forms);
            if (first) rule_ = std::move(rule);
            else rule_.restrict_to(rule);
            first = false;
        }
    }
    const LineCutRule& rule() const { return rule_; }
    bool cuts() const { return rule_.cuts(); }
    py::object reason() const { return rule_.cuts() ? py::object(py::none()) : py::object(python::make_str(rule_.reason())); }
    // Every place of `line` (UTF-8 bytes) where it may be cut.
    py::list places(py::bytes line) const {
        const std::string_view text = line;
        py::list out;
        for (std::size_t at = rule_.first_cut(text, 0, text.size()); at != LineCutRule::kNone;
             at = rule_.first_cut(text, at + 1, text.size()))
            out.append(make_int(at));
        return out;
    }

private:
    LineCutRule rule_;
};

// A stream read in runs of whole lines, for counting them elsewhere.
class CorpusStream {
public:
    CorpusStream(int fd, const std::string& name, const LineCuts* cuts, std::size_t block_bytes)
        : cuts_(cuts ? cuts->rule() : LineCutRule()),
          reader_(fd, name, 0, CorpusReader::kToEnd, false, &cuts_, block_bytes) {}
    CorpusStream(const CorpusStream&) = delete;
    CorpusStream& operator=(const CorpusStream&) = delete;

    // (bytes, first byte, continues a line) of the next run of at least
    // min_bytes of whole lines, or of the head of a longer line; None at the end.
    py::object next(std::size_t min_bytes) {
        const bool more = read_without_lock(reader_, [&] { return reader_.next(text_, first_byte_, min_bytes); });
        if (!more) return py::none();
        return py::make_tuple(py::bytes(text_.data(), text_.size()), make_int(first_byte_),
                              py::bool_(reader_.continues_line()));
    }
    bool holds_text() const { return reader_.holds_text(); }

private:
    LineCutRule cuts_;
    CorpusReader reader_;
    std::string_view text_;
    std::uint64_t first_byte_ = 0;
};

py::int_ chunk_end(int fd, const std::string& name, std::uint64_t offset, const LineCuts* cuts) {
    std::uint64_t end;
    {
        py::gil_scoped_release unlocked;
        end = chunk_end_after(fd, name, offset, cuts ? &cuts->rule() : nullptr);
    }
    return make_int(end);
}

}  // namespace

void register_corpus_reading(py::module_& module) {
    py::class_<LineCuts>(module, "LineCuts",
                         "Where the lines of a corpus counted for every one of the editors' files may be cut "
                         "without changing their words.")
        .def(py::init<const py::list&>(), py::arg("editors"))
        .def_property_readonly("cuts", &LineCuts::cuts, "Whether any place of a line may be cut.")
        .def_property_readonly("reason", &LineCuts::reason, "Why no place may be cut; None when some may.")
        .def("places", &LineCuts::places, py::arg("line"), "Every byte of the line (UTF-8) it may be cut before.");
    py::class_<CorpusStream>(module, "CorpusStream",
                             "A stream read in runs of whole lines (long lines cut where the rule allows), each "
                             "checked as read.")
        .def(py::init<int, const std::string&, const LineCuts*, std::size_t>(), py::arg("fd"), py::arg("name"),
             py::arg("cuts") = nullptr, py::arg("block_bytes") = CorpusReader::kBlockBytes)
        .def("next", &CorpusStream::next, py::arg("min_bytes"),
             "(bytes, first byte, continues a line) of the next run of at least min_bytes of whole lines, or of "
             "the head of a longer line; None at the end. ValueError names the input and the byte of a NUL or "
             "of bytes that are not UTF-8.")
        .def_property_readonly("holds_text", &CorpusStream::holds_text,
                               "Whether anything but white space and line breaks was read.");
    module.def("chunk_end_after", &chunk_end, py::arg("fd"), py::arg("name"), py::arg("offset"),
               py::arg("cuts") = nullptr,
               "Where a chunk of the file that reaches byte `offset` may end: after its line's line break, at a "
               "place where cuts allows a cut, at a NUL byte, or at the file's end.");
}

}  // namespace vocarix::tools
