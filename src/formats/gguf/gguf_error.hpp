// Failures that are a GGUF file's fault: a header that lies, a type that
// cannot be sized or encoded, a file without what an edit needs. The message
// is one line naming the file. Failures of the system (a file that cannot be
// opened, a full disk) are DocumentError, as everywhere in the core.
#pragma once

#include <stdexcept>
#include <string>

namespace vocarix::gguf {

class GgufError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace vocarix::gguf
