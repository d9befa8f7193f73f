// Failures of the core, each with the message the caller shows.
#pragma once

#include <stdexcept>
#include <string>

namespace vocarix {

// A document could not be read, parsed or written. `message` is the outer
// message; `cause` holds the underlying detail (parser or system error).
class DocumentError : public std::runtime_error {
public:
    DocumentError(const std::string& message, std::string cause = {})
        : std::runtime_error(message), cause_(std::move(cause)) {}
    const std::string& cause() const { return cause_; }

private:
    std::string cause_;
};

// A read was abandoned because its caller asked to stop (an interrupt).
class ReadInterrupted : public std::runtime_error {
public:
    ReadInterrupted() : std::runtime_error("reading was interrupted") {}
};

// The JSON reader's description of a syntax or shape error, with its position.
class ParseError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// No free 32-bit id is left at or above next_id.
class IdSpaceExhausted : public std::runtime_error {
public:
    IdSpaceExhausted() : std::runtime_error("no free token id left: every id up to 4294967295 is taken") {}
};

// Building the merge chain of a token would create an unreasonable amount of
// text (every prefix of the token becomes an entry).
class ChainTooLong : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace vocarix
