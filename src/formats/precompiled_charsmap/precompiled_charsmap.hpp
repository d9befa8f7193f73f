// SentencePiece's precompiled character map, the table behind the runtime's
// Precompiled normalizer: a little-endian u32 byte size of a double-array
// trie, the trie's u32 units, then the replacement strings, each ended by a
// NUL byte. The trie maps the UTF-8 bytes of a piece of text to where its
// replacement starts. Read strictly: sizes and every offset are checked.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vocarix {

class CharsmapError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

class PrecompiledCharsmap {
public:
    // `base64`: the map as a tokenizer.json stores it. Throws CharsmapError.
    static PrecompiledCharsmap from_base64(std::string_view base64);
    explicit PrecompiledCharsmap(std::string_view bytes);

    // The replacement of the shortest key that starts `text`, as the
    // runtime looks it up; none when no key does.
    std::optional<std::string_view> replacement(std::string_view text) const;

private:
    std::vector<std::uint32_t> units_;
    std::string replacements_;
};

}  // namespace vocarix
