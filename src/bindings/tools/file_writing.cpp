// Writing files all or nothing, settling interrupted writes and holding a
// folder's edit lock, for the tools and the CLI (file_sets/ in the core).
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "bindings/common/convert.hpp"
#include "bindings/common/editor_object.hpp"
#include "bindings/common/unlocked_load.hpp"
#include "bindings/tools/tools_bindings.hpp"
#include "document/errors.hpp"
#include "document/file_io.hpp"
#include "file_sets/file_set_write.hpp"
#include "state/loading.hpp"

namespace vocarix::tools {
namespace {

namespace py = pybind11;
using python::EditorObject;

// Runs `work` without the GIL, turning the core's failures into OSError.
template <class Work>
auto unlocked_io(Work&& work) -> decltype(work()) {
    try {
        py::gil_scoped_release unlocked;
        return work();
    } catch (const DocumentError& error) {
        python::raise(PyExc_OSError,
                      error.cause().empty() ? error.what() : std::string(error.what()) + ": " + error.cause());
    } catch (const ReadInterrupted&) {
        throw py::error_already_set();
    }
}

file_sets::WriteOptions interruptible() {
    file_sets::WriteOptions options;
    options.keep_going = python::no_signal_raised;
    options.lock_wait.keep_going = python::no_signal_raised;
    return options;
}

// A hold of a directory's edit lock, released by release() or when collected.
struct EditLockHandle {
    file_sets::EditLock lock;
    std::string directory;
};

EditLockHandle lock_for_edit(const std::string& path, py::object on_wait) {
    std::string directory = file_sets::edit_directory_of(path);
    file_sets::LockWait wait;
    wait.keep_going = python::no_signal_raised;
    if (!on_wait.is_none())
        wait.on_wait = [on_wait, directory](const std::string& holder) {
            py::gil_scoped_acquire locked;
            on_wait(python::make_str(directory), python::make_str(holder));
        };
    return unlocked_io([&] { return EditLockHandle{file_sets::lock_directory(directory, wait), directory}; });
}

py::str settle(const std::string& path) {
    std::string directory = file_sets::edit_directory_of(path);
    std::string line = unlocked_io([&] {
        file_sets::LockWait wait;
        wait.keep_going = python::no_signal_raised;
        return file_sets::describe_settlement(file_sets::settle_directory(directory, wait), directory);
    });
    return python::make_str(line);
}

void write_text_file(const std::string& path, py::handle text) {
    // Text made in the core comes as UTF-8 bytes, spared a round trip through str.
    std::string bytes(PyBytes_Check(text.ptr()) ? std::string_view(py::reinterpret_borrow<py::bytes>(text))
                                                 : python::to_str(text, "text"));
    unlocked_io([&] { file_sets::replace_file(path, file_sets::text_content(std::move(bytes)), interruptible()); });
}

}  // namespace

void write_text_streamed(const std::string& path,
                         std::function<void(const file_sets::PieceWriter& write)> produce) {
    unlocked_io([&] { file_sets::replace_file(path, file_sets::streamed_content(std::move(produce)), interruptible()); });
}

namespace {

void save_tokenizer(EditorObject& editor, const std::string& path) {
    python::SharedBorrow borrow(editor);
    const EditorState& state = borrow.state();
    unlocked_io([&] {
        file_sets::replace_file(
            path,
            [&state](int fd, const std::string& temporary) {
                write_produced(
                    fd, [&state](const TextSink& sink) { write_document_file_text(state.records(), sink); }, temporary);
            },
            interruptible());
    });
}

}  // namespace

void register_file_writing(py::module_& module) {
    py::class_<EditLockHandle>(module, "EditLock", "A hold of a folder's edit lock (one edit at a time).")
        .def_property_readonly("directory", [](const EditLockHandle& handle) { return handle.directory; })
        .def("release", [](EditLockHandle& handle) { handle.lock.release(); }, "Give up the hold.");
    module.def("lock_for_edit", &lock_for_edit, py::arg("path"), py::arg("on_wait") = py::none(),
               "Take the edit lock of a folder (or of the directory holding a file), waiting while another process "
               "holds it; on_wait(directory, holder) is called once before waiting.");
    module.def("settle", &settle, py::arg("path"),
               "Complete or undo what an interrupted write left in a folder (or a file's directory); a line saying "
               "what was done, or \"\".");
    module.def("write_text_file", &write_text_file, py::arg("path"), py::arg("text"),
               "Write a str as UTF-8 (or bytes of UTF-8 text as they are) to path, replacing the file (not what a link there points at) only once whole.");
    module.def("save_tokenizer", &save_tokenizer, py::arg("editor"), py::arg("path"),
               "Write the editor's document to path, replacing the file (not what a link there points at) only "
               "once whole.");
}

}  // namespace vocarix::tools
