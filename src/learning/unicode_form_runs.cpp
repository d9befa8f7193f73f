#include "learning/unicode_form_runs.hpp"

#include <cstring>
#include <iterator>
#include <vector>

#include "analysis/unicode_ages.hpp"
#include "document/text.hpp"
#include "learning/text_normalizer.hpp"

namespace vocarix {
namespace {

// What unicode_form_kept_ranges() gives for each form; tests check every
// character against the Unicode database.
constexpr CodePointRange kComposedKept[] = {
    {0x0000, 0x02FF}, {0x0400, 0x0482}, {0x048A, 0x052F}, {0x0621, 0x064A}, {0x2010, 0x2027}, {0x2030, 0x205E},
    {0x3000, 0x3029}, {0x3030, 0x3096}, {0x309B, 0x30FF}, {0x3400, 0x4DBF}, {0x4E00, 0x9FFF}, {0xAC00, 0xD7A3},
    {0xFF01, 0xFFEE},
};
constexpr CodePointRange kCompatibilityComposedKept[] = {
    {0x0000, 0x009F}, {0x00C0, 0x00FF}, {0x0400, 0x0482}, {0x048A, 0x052F}, {0x0621, 0x064A}, {0x3041, 0x3096},
    {0x30A1, 0x30FA}, {0x3400, 0x4DBF}, {0x4E00, 0x9FFF}, {0xAC00, 0xD7A3},
};
constexpr CodePointRange kDecomposedKept[] = {
    {0x0000, 0x00BF}, {0x0410, 0x0418}, {0x041A, 0x0438}, {0x043A, 0x044F}, {0x3400, 0x4DBF}, {0x4E00, 0x9FFF},
};
constexpr CodePointRange kCompatibilityDecomposedKept[] = {
    {0x0000, 0x009F}, {0x0410, 0x0418}, {0x041A, 0x0438}, {0x043A, 0x044F}, {0x3400, 0x4DBF}, {0x4E00, 0x9FFF},
};

bool in_ranges(std::span<const CodePointRange> ranges, std::uint32_t cp) {
    for (const CodePointRange& range : ranges)
        if (cp >= range.first && cp <= range.last) return true;
    return false;
}

bool is_ascii_upper(unsigned char c) { return c >= 'A' && c <= 'Z'; }

// Text goes to the Unicode data in parts of about this size.
constexpr std::size_t kPartBytes = 1 << 16;

// Whether a character the form keeps starts at byte `at` of `text`.
bool starts_kept_character(std::string_view text, std::size_t at, std::span<const CodePointRange> kept) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    if ((p[at] & 0xC0) == 0x80) return false;
    const std::size_t length = utf8_sequence_length(p[at]);
    return at + length <= text.size() && in_ranges(kept, decode_utf8_sequence(p + at, length));
}

// Lower-casing: ASCII here, every other stretch by the Unicode data.
void lowercase(UnicodeForms& forms, std::string_view text, std::string& out) {
    for (std::size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            const auto c = static_cast<unsigned char>(text[i++]);
            out.push_back(static_cast<char>(is_ascii_upper(c) ? c + 32 : c));
            continue;
        }
        // Every character is lowered on its own: any character boundary can end a part.
        std::size_t end = i;
        while (end < text.size() && static_cast<unsigned char>(text[end]) >= 0x80 &&
               (end - i < kPartBytes || (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80))
            ++end;
        forms.apply("lowercase", text.substr(i, end - i), out);
        i = end;
    }
}

}  // namespace

std::span<const CodePointRange> unicode_form_kept_ranges(std::string_view form) {
    if (form == "NFC") return kComposedKept;
    if (form == "NFKC") return kCompatibilityComposedKept;
    if (form == "NFD") return kDecomposedKept;
    if (form == "NFKD") return kCompatibilityDecomposedKept;
    return {};
}

namespace {

// For each character of the Basic Multilingual Plane, a bit: whether the
// form leaves it as it is wherever it stands (a kept character, or one
// unassigned in the Unicode version the forms are taken from).
using PlaneBits = std::vector<std::uint64_t>;

PlaneBits left_alone_bits(std::span<const CodePointRange> kept) {
    PlaneBits bits(0x10000 / 64, 0);
    for (std::uint32_t cp = 0; cp < 0x10000; ++cp)
        if (in_ranges(kept, cp) || !assigned_in_unicode_9(cp)) bits[cp >> 6] |= std::uint64_t{1} << (cp & 63);
    return bits;
}

const PlaneBits& left_alone_in_plane(std::string_view form) {
    static const PlaneBits composed = left_alone_bits(kComposedKept);
    static const PlaneBits compatibility_composed = left_alone_bits(kCompatibilityComposedKept);
    static const PlaneBits decomposed = left_alone_bits(kDecomposedKept);
    static const PlaneBits compatibility_decomposed = left_alone_bits(kCompatibilityDecomposedKept);
    if (form == "NFC") return composed;
    if (form == "NFKC") return compatibility_composed;
    if (form == "NFD") return decomposed;
    return compatibility_decomposed;
}

}  // namespace

bool unicode_form_keeps_text(std::string_view form, std::string_view text) {
    const bool lowering = form == "lowercase";
    const std::span<const CodePointRange> kept = unicode_form_kept_ranges(form);
    const PlaneBits* plane = lowering ? nullptr : &left_alone_in_plane(form);
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        if (p[i] < 0x80) {
            if (lowering && is_ascii_upper(p[i])) return false;
            ++i;
            // ASCII, which every form keeps, eight bytes at a time.
            if (!lowering) {
                std::uint64_t eight;
                while (i + 8 <= text.size() && (std::memcpy(&eight, p + i, 8), (eight & 0x8080808080808080ULL) == 0)) i += 8;
            }
            continue;
        }
        if (lowering) return false;
        const std::size_t length = utf8_sequence_length(p[i]);
        const std::uint32_t cp = decode_utf8_sequence(p + i, length);
        const bool left_alone = cp < 0x10000 ? ((*plane)[cp >> 6] >> (cp & 63)) & 1
                                             : in_ranges(kept, cp) || !assigned_in_unicode_9(cp);
        if (!left_alone) return false;
        i += length;
    }
    return true;
}

void apply_unicode_form(UnicodeForms& forms, std::string_view form, std::string_view text, std::string& out) {
    out.clear();
    if (form == "lowercase") {
        lowercase(forms, text, out);
        return;
    }
    // Stretches of characters Unicode 9.0 knew, between those it did not.
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t run_start = 0;
    bool run_kept = true;
    const std::span<const CodePointRange> kept = unicode_form_kept_ranges(form);
    // A long run goes to the Unicode data in parts, each cut before a
    // character the form keeps wherever it stands: nothing composes or
    // reorders across such a character, so the parts normalize alone.
    auto flush = [&](std::size_t end) {
        std::string_view run = text.substr(run_start, end - run_start);
        if (run_kept) {
            out.append(run);
            return;
        }
        while (run.size() > kPartBytes) {
            std::size_t cut = kPartBytes;
            while (cut < run.size() && !starts_kept_character(run, cut, kept)) ++cut;
            if (cut == run.size()) break;
            forms.apply(form, run.substr(0, cut), out);
            run.remove_prefix(cut);
        }
        forms.apply(form, run, out);
    };
    for (std::size_t i = 0; i < text.size();) {
        const std::size_t length = utf8_sequence_length(p[i]);
        const std::uint32_t cp = length == 1 ? p[i] : decode_utf8_sequence(p + i, length);
        if (cp >= 0x80 && !assigned_in_unicode_9(cp)) {
            flush(i);
            out.append(text.substr(i, length));
            run_start = i + length;
            run_kept = true;
        } else if (run_kept && !in_ranges(kept, cp)) {
            run_kept = false;
        }
        i += length;
    }
    flush(text.size());
}

}  // namespace vocarix
