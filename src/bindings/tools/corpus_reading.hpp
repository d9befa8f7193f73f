// Reading a corpus from Python: a reader waits for input with the
// interpreter lock released, and a Ctrl-C while it waits stops it.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

#include "bindings/common/editor_object.hpp"
#include "bindings/common/unlocked_load.hpp"
#include "learning/corpus_reader.hpp"
#include "learning/line_cuts.hpp"
#include "learning/text_normalizer.hpp"

namespace vocarix::tools {

// Runs `read` with the interpreter lock released; a read that a signal
// interrupts runs Python's handlers, and the exception one raises (a
// KeyboardInterrupt) stops the reading and is raised here.
template <class Read>
auto read_without_lock(CorpusReader& reader, Read&& read) {
    reader.set_keep_reading(python::no_signal_raised);
    try {
        pybind11::gil_scoped_release unlocked;
        return std::forward<Read>(read)();
    } catch (const ReadInterrupted&) {
        throw pybind11::error_already_set();
    }
}

// The cut rule of the file an editor holds.
LineCutRule line_cut_rule(python::EditorObject& editor, UnicodeForms& forms);

}  // namespace vocarix::tools
