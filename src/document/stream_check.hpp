// Early refusal of inputs read from pipes and devices, which may never end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vocarix {

// Follows text as it arrives and finds the first byte that no tokenizer
// document can hold where it stands: a first significant byte other than
// `{` or `[`, a byte outside a string that no JSON token uses, a control
// byte or invalid UTF-8 inside a string, nesting deeper than the reader
// accepts, or anything but whitespace after the document. Text that ends at
// such a byte fails to parse whatever follows, so reading can stop there.
class StreamedDocumentCheck {
public:
    static constexpr std::size_t kAllPossible = static_cast<std::size_t>(-1);

    // Offset in `chunk` of the first impossible byte, or kAllPossible.
    std::size_t scan(std::string_view chunk);

private:
    bool start_utf8_sequence(unsigned char lead);

    enum class Phase : std::uint8_t { kBefore, kInside, kAfter };
    Phase phase_ = Phase::kBefore;
    bool in_string_ = false;
    bool escaped_ = false;
    std::uint8_t pending_continuations_ = 0;
    unsigned char next_low_ = 0x80, next_high_ = 0xBF;
    std::uint64_t depth_ = 0;
};

}  // namespace vocarix
