#include "document/stream_check.hpp"

#include "document/json_reader.hpp"

namespace vocarix {
namespace {

bool is_whitespace(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Bytes of numbers and of the literals true, false and null.
bool is_literal_byte(unsigned char c) {
    if (c >= '0' && c <= '9') return true;
    switch (c) {
        case '-': case '+': case '.': case 'e': case 'E':
        case 't': case 'r': case 'u': case 'f': case 'a': case 'l': case 's': case 'n':
            return true;
        default:
            return false;
    }
}

bool is_escape_letter(unsigned char c) {
    switch (c) {
        case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't': case 'u':
            return true;
        default:
            return false;
    }
}

}  // namespace

// Sets up the continuation bytes a lead byte needs: no overlong forms, no
// surrogates, nothing above U+10FFFF.
bool StreamedDocumentCheck::start_utf8_sequence(unsigned char lead) {
    next_low_ = 0x80;
    next_high_ = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) pending_continuations_ = 1;
    else if (lead >= 0xE0 && lead <= 0xEF) {
        pending_continuations_ = 2;
        if (lead == 0xE0) next_low_ = 0xA0;
        if (lead == 0xED) next_high_ = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        pending_continuations_ = 3;
        if (lead == 0xF0) next_low_ = 0x90;
        if (lead == 0xF4) next_high_ = 0x8F;
    } else {
        return false;
    }
    return true;
}

std::size_t StreamedDocumentCheck::scan(std::string_view chunk) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(chunk.data());
    for (std::size_t i = 0; i < chunk.size(); ++i) {
        unsigned char c = bytes[i];
        if (in_string_) {
            if (pending_continuations_ > 0) {
                if (c < next_low_ || c > next_high_) return i;
                next_low_ = 0x80;
                next_high_ = 0xBF;
                --pending_continuations_;
            } else if (escaped_) {
                if (!is_escape_letter(c)) return i;
                escaped_ = false;
            } else if (c == '"') {
                in_string_ = false;
            } else if (c == '\\') {
                escaped_ = true;
            } else if (c < 0x20) {
                return i;
            } else if (c >= 0x80) {
                if (!start_utf8_sequence(c)) return i;
            } else {
                // Plain ASCII runs make up most of a document.
                while (i + 1 < chunk.size() && bytes[i + 1] >= 0x20 && bytes[i + 1] < 0x80 && bytes[i + 1] != '"' &&
                       bytes[i + 1] != '\\')
                    ++i;
            }
            continue;
        }
        if (is_whitespace(c)) continue;
        switch (phase_) {
            case Phase::kBefore:
                if (c != '{' && c != '[') return i;
                phase_ = Phase::kInside;
                depth_ = 1;
                continue;
            case Phase::kAfter:
                return i;
            case Phase::kInside:
                break;
        }
        if (c == '"') {
            in_string_ = true;
        } else if (c == '{' || c == '[') {
            if (++depth_ > static_cast<std::uint64_t>(kMaxJsonDepth)) return i;
        } else if (c == '}' || c == ']') {
            if (--depth_ == 0) phase_ = Phase::kAfter;
        } else if (c != ':' && c != ',' && !is_literal_byte(c)) {
            return i;
        }
    }
    return kAllPossible;
}

}  // namespace vocarix
