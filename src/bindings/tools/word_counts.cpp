// Counting the words of a corpus as the runtime cuts them: a table that
// files, ranges of files, streams and byte chunks are counted into, and
// that the tables of other processes add up with.
#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <vector>

#include "bindings/common/convert.hpp"
#include "bindings/common/editor_object.hpp"
#include "bindings/tools/corpus_reading.hpp"
#include "bindings/tools/python_unicode_forms.hpp"
#include "bindings/tools/tools_bindings.hpp"
#include "learning/corpus_reader.hpp"
#include "learning/word_counting.hpp"

namespace vocarix::tools {
namespace {

namespace py = pybind11;
using python::EditorObject;
using python::make_int;

// Text is handed to the counter in runs of whole lines of about this size
// (a longer line in pieces of about this size, where it may be cut).
constexpr std::size_t kRunBytes = 4 << 20;
constexpr std::string_view kBlank = " \t\n\r\v\f";

// The bytes of a contiguous buffer (TypeError for any other), writable when asked.
std::string_view byte_buffer(const py::buffer& data, bool writable) {
    const py::buffer_info info = data.request(writable);
    if (info.ndim > 1 || info.itemsize != 1 || (info.ndim == 1 && info.strides[0] != 1))
        python::raise(PyExc_TypeError, "serialized word counts are a contiguous buffer of bytes");
    return {static_cast<const char*>(info.ptr), static_cast<std::size_t>(info.size)};
}

py::dict table_dict(const WordTable& table) {
    py::dict out;
    table.for_each([&](std::string_view word, std::uint64_t count) { out[python::make_str(word)] = make_int(count); });
    return out;
}

py::dict words_dict(const WordCounter& counter) {
    py::dict out;
    counter.for_each_word_count(
        [&](std::string_view word, std::uint64_t count) { out[python::make_str(word)] = make_int(count); });
    return out;
}

class WordCountTable {
public:
    // The editor's pipeline is read once; the table does not follow later edits.
    explicit WordCountTable(EditorObject& editor) {
        python::SharedBorrow borrow(editor);
        counter_ = std::make_unique<WordCounter>(borrow.state(), &forms_);
        TextNormalizer normalizer(borrow.state().sections, &forms_);
        cuts_ = LineCutRule(borrow.state(), normalizer);
    }

    // Counts what `fd` holds from `start` (to `end`, or to its end); returns
    // (lines counted, whether it held anything but white space).
    py::tuple count_file(int fd, const std::string& name, std::uint64_t start, py::handle end, bool seekable) {
        const std::uint64_t stop = end.is_none() ? CorpusReader::kToEnd : python::to_u64(end, "end");
        const std::uint64_t before = counter_->lines();
        CorpusReader reader(fd, name, start, stop, seekable, &cuts_);
        read_without_lock(reader, [&] {
            std::string_view text;
            std::uint64_t first_byte = 0;
            while (reader.next(text, first_byte, kRunBytes)) counter_->count_checked_text(text, reader.continues_line());
        });
        return py::make_tuple(make_int(counter_->lines() - before), py::bool_(reader.holds_text()));
    }

    // Counts whole lines given as bytes (with `continues_line`, the first is
    // the rest of a cut line); returns (lines counted, whether they held
    // anything but white space).
    py::tuple count_bytes(py::bytes data, const std::string& name, std::uint64_t first_byte, bool continues_line) {
        const std::uint64_t before = counter_->lines();
        std::string_view text = data;
        {
            py::gil_scoped_release unlocked;
            count(text, first_byte, name, continues_line);
        }
        return py::make_tuple(make_int(counter_->lines() - before),
                              py::bool_(text.find_first_not_of(kBlank) != std::string_view::npos));
    }

    // `data`: bytes, or any buffer of bytes (a memory map of them).
    void add_serialized(const py::buffer& data) {
        const std::string_view bytes = byte_buffer(data, false);
        try {
            counter_->counts().add_serialized(bytes);
        } catch (const std::invalid_argument& error) {
            python::raise(PyExc_ValueError, error.what());
        }
    }
    // Room for the words of serialized bytes of `bytes` bytes with `words` distinct words.
    void make_room(std::size_t words, std::size_t bytes) {
        py::gil_scoped_release unlocked;
        counter_->counts().words.make_room(words, bytes);
    }
    void expect_tables(std::size_t tables) { counter_->counts().words.expect_tables(tables); }
    py::int_ serialized_size() const { return make_int(counter_->counts().serialized_size()); }
    // Writes serialized() into `out`, a writable buffer of serialized_size() bytes (a memory map).
    void serialize_into(const py::buffer& out) const {
        const std::string_view bytes = byte_buffer(out, true);
        if (bytes.size() != counter_->counts().serialized_size())
            python::raise(PyExc_ValueError, "the buffer is not serialized_size() bytes long");
        counter_->counts().serialize_into(const_cast<char*>(bytes.data()));
    }
    py::bytes serialized() const {
        std::string bytes = counter_->counts().serialized();
        return py::bytes(bytes);
    }
    py::dict words() const { return words_dict(*counter_); }
    py::dict added_tokens() const { return table_dict(counter_->added_tokens()); }
    py::int_ lines() const { return make_int(counter_->lines()); }
    py::int_ total() const { return make_int(counter_->words().total()); }
    py::int_ distinct() const { return make_int(counter_->words().distinct()); }
    py::bytes words_json(unsigned threads) const {
        std::string json;
        {
            py::gil_scoped_release unlocked;
            json = counter_->words_json(threads);
        }
        return py::bytes(json);
    }
    void write_words_json(const std::string& path, unsigned threads) const {
        write_text_streamed(path, [this, threads](const file_sets::PieceWriter& write) {
            counter_->write_words_json(threads, write);
        });
    }
    py::int_ memory_bytes() const {
        return make_int(counter_->words().memory_bytes() + counter_->added_tokens().memory_bytes());
    }

private:
    void count(std::string_view text, std::uint64_t first_byte, const std::string& name, bool continues_line) {
        try {
            counter_->count_text(text, first_byte, continues_line);
        } catch (const CorpusError& error) {
            throw CorpusError(name + ": " + error.what());
        }
    }

    PythonUnicodeForms forms_;
    std::unique_ptr<WordCounter> counter_;
    LineCutRule cuts_;
};

void check_counting(EditorObject& editor) {
    python::SharedBorrow borrow(editor);
    PythonUnicodeForms forms;
    WordCounter counter(borrow.state(), &forms);
}

}  // namespace

void register_word_counts(py::module_& module) {
    py::class_<WordCountTable>(module, "WordCountTable",
                               "Word counts of a corpus as the model receives its text, added up over files, "
                               "ranges, streams and the tables of other processes.")
        .def(py::init<EditorObject&>(), py::arg("editor"))
        .def("count_file", &WordCountTable::count_file, py::arg("fd"), py::arg("name"), py::arg("start") = 0,
             py::arg("end") = py::none(), py::arg("seekable") = true,
             "Count the lines the file descriptor holds from start to end (by offset when seekable, else "
             "reading the stream to its end); returns (lines counted, whether they held anything but white "
             "space). ValueError names the input and the byte of a NUL or of bytes that are not UTF-8.")
        .def("count_bytes", &WordCountTable::count_bytes, py::arg("data"), py::arg("name"), py::arg("first_byte") = 0,
             py::arg("continues_line") = false,
             "Count whole lines given as bytes (with continues_line, the first is the rest of a line cut "
             "before); returns (lines counted, whether they held anything but white space).")
        .def("add_serialized", &WordCountTable::add_serialized, py::arg("data"),
             "Add the counts another table's serialized() gave.")
        .def("serialized_size", &WordCountTable::serialized_size, "The length of serialized().")
        .def("expect_tables", &WordCountTable::expect_tables, py::arg("tables"),
             "This table will take in the words of `tables` tables of about its size (itself among them): it grows "
             "for them whenever it grows.")
        .def("make_room", &WordCountTable::make_room, py::arg("words"), py::arg("bytes"),
             "Make room for the words of another table's serialized() (its distinct words and length), so that "
             "adding them moves nothing.")
        .def("serialize_into", &WordCountTable::serialize_into, py::arg("out"),
             "Write serialized() into a writable buffer of serialized_size() bytes.")
        .def("serialized", &WordCountTable::serialized,
             "The counts as bytes another table of the same tokenizer can add.")
        .def("words", &WordCountTable::words, "word -> count")
        .def("added_tokens", &WordCountTable::added_tokens, "added token -> count")
        .def_property_readonly("lines", &WordCountTable::lines)
        .def_property_readonly("total", &WordCountTable::total)
        .def_property_readonly("distinct", &WordCountTable::distinct)
        .def_property_readonly("memory_bytes", &WordCountTable::memory_bytes,
                               "Bytes the counts take: the tables' slots and their words.")
        .def("words_json", &WordCountTable::words_json, py::arg("threads") = 1,
             "The word counts as a JSON object (UTF-8 bytes), most used first, one member to a line; "
             "sorted and written on up to `threads` threads.")
        .def("write_words_json", &WordCountTable::write_words_json, py::arg("path"), py::arg("threads") = 1,
             "Write words_json(threads) to path, replacing the file only once whole.");
    module.def("check_counting", &check_counting, py::arg("editor"),
               "Raises ValueError when the file's normalizer or pre-tokenizer cannot be applied exactly.");
}

}  // namespace vocarix::tools
