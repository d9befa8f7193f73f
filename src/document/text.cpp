#include "document/text.hpp"

#include <cstring>

namespace vocarix {

std::size_t find_invalid_utf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        // Fast path: eight ASCII bytes at a time.
        if (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, p + i, 8);
            if ((word & 0x8080808080808080ULL) == 0) {
                i += 8;
                continue;
            }
        }
        unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;       // no overlongs
            else if (c == 0xED) hi = 0x9F;  // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            else if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
        } else {
            return i;
        }
        if (i + len > n) return i;
        if (p[i + 1] < lo || p[i + 1] > hi) return i;
        for (std::size_t k = 2; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return i;
        }
        i += len;
    }
    return n;
}

}  // namespace vocarix

namespace vocarix {
namespace {

// Characters that would be invisible or change their neighbours when shown raw.
bool needs_unicode_escape(std::uint32_t cp) {
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || cp == 0xAD) return true;
    struct Range {
        std::uint32_t first, last;
    };
    static constexpr Range kRanges[] = {
        {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0600, 0x0605}, {0x061C, 0x061C},
        {0x06DD, 0x06DD}, {0x070F, 0x070F}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x180E, 0x180E},
        {0x200B, 0x200F}, {0x2028, 0x202E}, {0x2060, 0x206F}, {0x20D0, 0x20FF}, {0xD800, 0xDFFF},
        {0xE000, 0xF8FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF}, {0xFFF0, 0xFFFB},
        {0x1D173, 0x1D17A}, {0xE0000, 0xE0FFF}, {0xF0000, 0x10FFFF},
    };
    for (const Range& range : kRanges)
        if (cp >= range.first && cp <= range.last) return true;
    return (cp & 0xFFFE) == 0xFFFE;  // noncharacters U+xxFFFE and U+xxFFFF
}

// Whether Python's json module writes `byte` other than as itself.
bool json_escaped_byte(unsigned char byte, bool ascii) {
    return byte < 0x20 || byte == '"' || byte == '\\' || (ascii && byte >= 0x7F);
}

void put_json_hex4(std::string& out, std::uint32_t unit) {
    constexpr char kHex[] = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(unit >> shift) & 0xF];
}

}  // namespace

std::string debug_quoted(std::string_view s) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(s.size() + 2);
    out.push_back('"');
    std::size_t i = 0;
    while (i < s.size()) {
        auto c = static_cast<unsigned char>(s[i]);
        std::size_t len = utf8_sequence_length(c);
        std::uint32_t cp;
        if (len > s.size() - i || (c >= 0x80 && c < 0xC2)) {
            cp = 0xFFFD;  // only valid UTF-8 reaches here in practice
            len = 1;
        } else {
            cp = decode_utf8_sequence(reinterpret_cast<const unsigned char*>(s.data() + i), len);
        }
        switch (cp) {
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\0': out += "\\0"; break;
            case '\\': out += "\\\\"; break;
            case '"': out += "\\\""; break;
            default:
                if (needs_unicode_escape(cp)) {
                    out += "\\u{";
                    bool started = false;
                    for (int shift = 20; shift >= 0; shift -= 4) {
                        unsigned digit = (cp >> shift) & 0xF;
                        if (digit || started || shift == 0) {
                            out.push_back(kHex[digit]);
                            started = true;
                        }
                    }
                    out.push_back('}');
                } else if (cp == 0xFFFD && len == 1 && c >= 0x80) {
                    out += "\\u{fffd}";
                } else {
                    out.append(s.substr(i, len));
                }
        }
        i += len;
    }
    out.push_back('"');
    return out;
}

bool is_valid_utf8_so_far(std::string_view s) {
    std::size_t bad = find_invalid_utf8(s);
    if (bad == s.size()) return true;
    std::string_view tail = s.substr(bad);
    std::size_t length = utf8_sequence_length(static_cast<unsigned char>(tail[0]));
    if (tail.size() >= length) return false;
    // Each lead byte allows its first continuation from 0x80, 0x90 or 0xA0 on.
    for (char first_missing : {'\x80', '\x90', '\xA0'}) {
        std::string completed(tail);
        completed.push_back(first_missing);
        completed.resize(length, '\x80');
        if (is_valid_utf8(completed)) return true;
    }
    return false;
}

void append_python_json_string(std::string& out, std::string_view text, bool ascii) {
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        // Runs that need no escape are copied whole.
        std::size_t run = i;
        while (run < text.size() && !json_escaped_byte(static_cast<unsigned char>(text[run]), ascii)) ++run;
        if (run > i) {
            out.append(text.data() + i, run - i);
            i = run;
            continue;
        }
        auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x80 && ascii) {
            std::size_t length = utf8_sequence_length(byte);
            std::uint32_t cp = decode_utf8_sequence(reinterpret_cast<const unsigned char*>(text.data() + i), length);
            if (cp >= 0x10000) {
                put_json_hex4(out, 0xD800 + ((cp - 0x10000) >> 10));
                put_json_hex4(out, 0xDC00 + ((cp - 0x10000) & 0x3FF));
            } else {
                put_json_hex4(out, cp);
            }
            i += length;
            continue;
        }
        switch (byte) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                if (byte < 0x20 || (byte == 0x7F && ascii)) put_json_hex4(out, byte);
                else out += static_cast<char>(byte);
        }
        ++i;
    }
    out += '"';
}

}  // namespace vocarix
