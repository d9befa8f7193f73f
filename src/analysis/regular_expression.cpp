#include "analysis/regular_expression.hpp"

#include <oniguruma.h>

#include <algorithm>
#include <memory>
#include <mutex>

namespace vocarix {
namespace {

OnigEncoding utf8_encoding() {
    static std::once_flag once;
    std::call_once(once, [] {
        OnigEncoding encodings[] = {ONIG_ENCODING_UTF8};
        onig_initialize(encodings, 1);
    });
    return ONIG_ENCODING_UTF8;
}

// The engine's compiler keeps shared tables; compiling is serialized as the runtime serializes it.
std::mutex& compile_mutex() {
    static std::mutex mutex;
    return mutex;
}

std::string engine_message(int code, OnigErrorInfo* info) {
    OnigUChar buffer[ONIG_MAX_ERROR_MESSAGE_LEN];
    int length = info ? onig_error_code_to_str(buffer, code, info) : onig_error_code_to_str(buffer, code);
    return std::string(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(std::max(length, 0)));
}

struct RegionDeleter {
    void operator()(OnigRegion* region) const { onig_region_free(region, 1); }
};

const OnigUChar* bytes_of(std::string_view text) { return reinterpret_cast<const OnigUChar*>(text.data()); }

// Bytes of the UTF-8 sequence that starts with `lead`.
std::size_t sequence_bytes(unsigned char lead) {
    if (lead < 0xC0) return 1;
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    return 4;
}

}  // namespace

RegularExpression::RegularExpression(std::string_view pattern) : pattern_(pattern) {
    OnigEncoding encoding = utf8_encoding();
    OnigErrorInfo info{};
    OnigRegex regex = nullptr;
    int code;
    {
        std::lock_guard<std::mutex> lock(compile_mutex());
        code = onig_new(&regex, bytes_of(pattern_), bytes_of(pattern_) + pattern_.size(), ONIG_OPTION_NONE, encoding,
                        ONIG_SYNTAX_ONIGURUMA, &info);
    }
    if (code != ONIG_NORMAL) throw RegexError(engine_message(code, &info));
    regex_ = regex;
}

RegularExpression::~RegularExpression() {
    if (regex_) onig_free(static_cast<OnigRegex>(regex_));
}

void RegularExpression::find_all(std::string_view text, std::vector<TextSpan>& matches) const {
    auto append = [&](TextSpan match) { matches.push_back(match); };
    for_each_match(text, append);
}

void RegularExpression::for_each_match(std::string_view text, SpanSink on_match) const {
    std::unique_ptr<OnigRegion, RegionDeleter> region(onig_region_new());
    const OnigUChar* start = bytes_of(text);
    const OnigUChar* end = start + text.size();
    std::size_t from = 0;
    bool after_match = false;
    while (from <= text.size()) {
        onig_region_clear(region.get());
        int found = onig_search(static_cast<OnigRegex>(regex_), start, end, start + from, end, region.get(),
                                ONIG_OPTION_NONE);
        if (found == ONIG_MISMATCH) break;
        if (found < 0) throw RegexError(engine_message(found, nullptr));
        const auto begin = static_cast<std::size_t>(region->beg[0]);
        const auto stop = static_cast<std::size_t>(region->end[0]);
        from = stop;
        if (begin == stop) {
            from += from < text.size() ? sequence_bytes(static_cast<unsigned char>(text[from])) : 1;
            if (after_match) {
                after_match = false;
                continue;
            }
        } else {
            after_match = true;
        }
        on_match({begin, stop});
    }
}

std::string literal_pattern(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (std::string_view("\\.+*?()|[]{}^$#&-~").find(c) != std::string_view::npos) out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

UnicodeProperty::UnicodeProperty(std::string_view name) : bmp_(0x10000 / 64, 0) {
    OnigEncoding encoding = utf8_encoding();
    std::string copy(name);
    auto* p = reinterpret_cast<OnigUChar*>(copy.data());
    int ctype = ONIGENC_PROPERTY_NAME_TO_CTYPE(encoding, p, p + copy.size());
    const OnigCodePoint* list = nullptr;
    OnigCodePoint single_byte_limit = 0;
    if (ctype < 0 || ONIGENC_GET_CTYPE_CODE_RANGE(encoding, ctype, &single_byte_limit, &list) != 0 || !list)
        throw RegexError("the regular-expression engine knows no Unicode property " + copy);
    // The list holds a count, then that many (first, last) pairs.
    for (OnigCodePoint i = 0; i < list[0]; ++i) {
        CodePointRange range{list[1 + 2 * i], list[2 + 2 * i]};
        ranges_.push_back(range);
        for (std::uint32_t cp = range.first; cp <= std::min<std::uint32_t>(range.last, 0xFFFF); ++cp)
            bmp_[cp >> 6] |= std::uint64_t{1} << (cp & 63);
    }
}

bool UnicodeProperty::contains_astral(std::uint32_t cp) const {
    auto it = std::upper_bound(ranges_.begin(), ranges_.end(), cp,
                               [](std::uint32_t value, const CodePointRange& range) { return value < range.first; });
    return it != ranges_.begin() && cp <= std::prev(it)->last;
}

}  // namespace vocarix
