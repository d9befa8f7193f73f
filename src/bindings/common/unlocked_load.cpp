#include "bindings/common/unlocked_load.hpp"

#include <pybind11/pybind11.h>

#include "document/errors.hpp"

namespace vocarix::python {

namespace py = pybind11;

bool no_signal_raised() {
    py::gil_scoped_acquire locked;
    return PyErr_CheckSignals() == 0;
}

std::unique_ptr<EditorState> load_unlocked(const std::string& path, ReadMode mode, std::uint64_t stream_size_limit) {
    try {
        // Unwinding takes the lock back before any handler runs.
        py::gil_scoped_release unlocked;
        return load_tokenizer_file(path, mode,
                                   ReadOptions{.stream_size_limit = stream_size_limit, .keep_going = no_signal_raised});
    } catch (const ReadInterrupted&) {
        throw py::error_already_set();
    }
}

}  // namespace vocarix::python
