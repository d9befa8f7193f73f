#include "formats/precompiled_charsmap/precompiled_charsmap.hpp"

#include <algorithm>
#include <array>

#include "document/text.hpp"

namespace vocarix {
namespace {

// Standard base64 (RFC 4648) with padding; anything else is refused.
std::string decode_base64(std::string_view text) {
    static constexpr std::array<std::int8_t, 256> kValues = [] {
        std::array<std::int8_t, 256> values{};
        values.fill(-1);
        constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (std::size_t i = 0; i < kAlphabet.size(); ++i)
            values[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
        return values;
    }();
    if (text.size() % 4 != 0) throw CharsmapError("the precompiled_charsmap is not base64 (its length is not a multiple of 4)");
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const std::size_t padding = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
        std::uint32_t group = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            std::int8_t value = j >= 4 - padding ? 0 : kValues[static_cast<unsigned char>(text[i + j])];
            if (value < 0)
                throw CharsmapError("the precompiled_charsmap is not base64 (character " + std::to_string(i + j) + ")");
            group = group << 6 | static_cast<std::uint32_t>(value);
        }
        out.push_back(static_cast<char>(group >> 16));
        if (padding < 2) out.push_back(static_cast<char>(group >> 8 & 0xFF));
        if (padding < 1) out.push_back(static_cast<char>(group & 0xFF));
    }
    return out;
}

std::uint32_t read_u32(std::string_view bytes, std::size_t at) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

// The parts of a double-array unit.
bool unit_has_leaf(std::uint32_t unit) { return (unit >> 8) & 1; }
std::uint32_t unit_value(std::uint32_t unit) { return unit & ((1u << 31) - 1); }
std::uint32_t unit_label(std::uint32_t unit) { return unit & ((1u << 31) | 0xFF); }
std::uint32_t unit_offset(std::uint32_t unit) { return (unit >> 10) << ((unit & (1u << 9)) >> 6); }

}  // namespace

PrecompiledCharsmap PrecompiledCharsmap::from_base64(std::string_view base64) {
    return PrecompiledCharsmap(decode_base64(base64));
}

PrecompiledCharsmap::PrecompiledCharsmap(std::string_view bytes) {
    if (bytes.size() < 4) throw CharsmapError("the precompiled_charsmap is shorter than its 4-byte header");
    const std::uint32_t trie_bytes = read_u32(bytes, 0);
    if (trie_bytes % 4 != 0 || trie_bytes > bytes.size() - 4)
        throw CharsmapError("the precompiled_charsmap's trie size (" + std::to_string(trie_bytes) +
                            " bytes) does not fit its " + std::to_string(bytes.size()) + " bytes");
    if (trie_bytes == 0) throw CharsmapError("the precompiled_charsmap's trie is empty");
    units_.resize(trie_bytes / 4);
    for (std::size_t i = 0; i < units_.size(); ++i) units_[i] = read_u32(bytes, 4 + 4 * i);
    replacements_.assign(bytes.substr(4 + trie_bytes));
    if (!is_valid_utf8(replacements_)) throw CharsmapError("the precompiled_charsmap's replacements are not UTF-8");
}

std::optional<std::string_view> PrecompiledCharsmap::replacement(std::string_view text) const {
    std::size_t node = unit_offset(units_[0]);
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte == 0) break;
        node ^= byte;
        if (node >= units_.size()) throw CharsmapError("the precompiled_charsmap's trie points outside itself");
        if (unit_label(units_[node]) != byte) return std::nullopt;
        const std::uint32_t unit = units_[node];
        node ^= unit_offset(unit);
        if (node >= units_.size()) throw CharsmapError("the precompiled_charsmap's trie points outside itself");
        if (unit_has_leaf(unit)) {
            const std::size_t start = unit_value(units_[node]);
            const std::size_t end = start > replacements_.size() ? start : replacements_.find('\0', start);
            std::string_view found = std::string_view(replacements_).substr(
                std::min(start, replacements_.size()), (end == std::string::npos ? replacements_.size() : end) - start);
            if (start > replacements_.size() || !is_valid_utf8(found) ||
                (start < replacements_.size() && (static_cast<unsigned char>(replacements_[start]) & 0xC0) == 0x80))
                throw CharsmapError("the precompiled_charsmap's trie points outside its replacements or into a character");
            return found;
        }
    }
    return std::nullopt;
}

}  // namespace vocarix
