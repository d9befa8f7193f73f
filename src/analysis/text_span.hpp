// A stretch of a text, in bytes.
#pragma once

#include <cstddef>

namespace vocarix {

struct TextSpan {
    std::size_t begin, end;  // bytes
};

}  // namespace vocarix
