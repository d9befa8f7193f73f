// Loading a tokenizer file the way both modules do it: without the
// interpreter lock, and stoppable by Ctrl-C while it waits for input.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "document/file_io.hpp"
#include "state/loading.hpp"

namespace vocarix::python {

// For work running without the interpreter lock, as its keep_going callback:
// takes the lock briefly so that Ctrl-C and other signal handlers run, and
// says stop when one of them raised (the error stays set for the caller).
bool no_signal_raised();

// A document being loaded belongs to no editor yet, so nothing else can reach
// it: other threads run meanwhile, among them one that may be feeding the file
// through a pipe. A load stopped by a signal handler raises what the handler
// raised; failures of the load itself throw DocumentError.
std::unique_ptr<EditorState> load_unlocked(const std::string& path, ReadMode mode,
                                           std::uint64_t stream_size_limit = kDefaultStreamSizeLimit);

}  // namespace vocarix::python
