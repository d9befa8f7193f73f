// A file of another reader (the slow tokenizer's vocab.json and merges.txt,
// a SentencePiece model, ...) that is not what its format says: one line
// that names the file and what is wrong with it.
#pragma once

#include <stdexcept>
#include <string>

namespace vocarix::formats {

class FormatError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace vocarix::formats
