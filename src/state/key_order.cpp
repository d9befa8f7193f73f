#include "state/key_order.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <span>
#include <utility>

#include "document/text.hpp"

namespace vocarix {

namespace {

// Eight bytes of `s` from `offset`, big-endian and zero-padded: comparing these
// numbers orders strings as their bytes do, up to ties between equal prefixes.
std::uint64_t order_prefix(std::string_view s, std::size_t offset) {
    std::uint64_t key = 0;
    std::size_t n = s.size() > offset ? std::min<std::size_t>(s.size() - offset, 8) : 0;
    for (std::size_t i = 0; i < n; ++i)
        key |= std::uint64_t{static_cast<unsigned char>(s[offset + i])} << (56 - 8 * i);
    return key;
}

// The first sixteen bytes of a pooled string as two such numbers, read as
// whole words (the pool keeps readable bytes after every string).
std::pair<std::uint64_t, std::uint64_t> order_prefixes(std::string_view s) {
    static_assert(StringPool::kReadSlack >= 16);
    static_assert(std::endian::native == std::endian::little, "words are read little-endian");
    if (s.empty()) return {0, 0};
    auto word = [&](std::size_t offset) {
        std::uint64_t w = __builtin_bswap64(load8(s.data() + offset));
        std::size_t kept = s.size() > offset ? std::min<std::size_t>(s.size() - offset, 8) : 0;
        return kept == 0 ? 0 : w & (~std::uint64_t{0} << (64 - 8 * kept));
    };
    return {word(0), word(8)};
}

struct Keyed {
    std::uint64_t prefix;
    Symbol sym;
    std::uint32_t index;  // into the second words, which only ties need
};

constexpr std::size_t kDeepestPrefix = 256;

// Orders `keyed`, whose strings agree on their first `offset` bytes, by the
// rest of their bytes: by the next eight, then each run of equal prefixes by
// the eight after those.
void sort_from(std::span<Keyed> keyed, std::size_t offset, const StringPool& pool) {
    if (offset >= kDeepestPrefix) {
        // Very long shared prefixes are rare: compare the rest directly rather than recurse.
        std::sort(keyed.begin(), keyed.end(), [&](const Keyed& a, const Keyed& b) {
            auto rest = [&](Symbol sym) { std::string_view s = pool.view(sym); return s.substr(std::min(offset, s.size())); };
            return rest(a.sym) < rest(b.sym);
        });
        return;
    }
    std::size_t longest = 0;
    for (Keyed& k : keyed) {
        std::string_view text = pool.view(k.sym);
        k.prefix = order_prefix(text, offset);
        longest = std::max(longest, text.size());
    }
    if (longest <= offset + 8) {
        // Equal padded bytes here mean one string is the other plus zero bytes.
        std::sort(keyed.begin(), keyed.end(), [&](const Keyed& a, const Keyed& b) {
            return a.prefix != b.prefix ? a.prefix < b.prefix : pool.view(a.sym).size() < pool.view(b.sym).size();
        });
        return;
    }
    std::sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) { return a.prefix < b.prefix; });
    for (std::size_t begin = 0; begin < keyed.size();) {
        std::size_t end = begin + 1;
        while (end < keyed.size() && keyed[end].prefix == keyed[begin].prefix) ++end;
        if (end - begin > 1) sort_from(keyed.subspan(begin, end - begin), offset + 8, pool);
        begin = end;
    }
}

}  // namespace

void KeyOrder::refresh(const DocumentRecords& doc) const {
    if (from_scratch_) {
        // Nothing sorted yet: every entry is new, those inserted since included.
        recent_.clear();
        recent_.reserve(doc.vocab_size);
        doc.for_each_entry([&](Symbol sym) { recent_.push_back(sym); });
        from_scratch_ = false;
    }
    // A radix sort of the first eight bytes. Keys often share them (a space
    // marker and a common stem), so runs of equal first words are sorted by
    // the second, kept aside from the start, and only runs equal in both
    // read their strings again.
    std::vector<Keyed> keyed, scratch(recent_.size());
    std::vector<std::uint64_t> second_words(recent_.size());
    keyed.reserve(recent_.size());
    for (Symbol sym : recent_) {
        auto [first, second] = order_prefixes(doc.text(sym));
        second_words[keyed.size()] = second;
        keyed.push_back({first, sym, static_cast<std::uint32_t>(keyed.size())});
    }
    // Six passes of eleven bits each; one counting pass serves them all.
    constexpr int kDigitBits = 11, kDigits = (64 + kDigitBits - 1) / kDigitBits;
    constexpr std::uint64_t kDigitMask = (1u << kDigitBits) - 1;
    std::vector<std::array<std::size_t, 1u << kDigitBits>> counts(kDigits);
    for (const Keyed& k : keyed)
        for (int digit = 0; digit < kDigits; ++digit) ++counts[digit][(k.prefix >> (kDigitBits * digit)) & kDigitMask];
    for (int digit = 0; digit < kDigits && !keyed.empty(); ++digit) {
        const int shift = kDigitBits * digit;
        auto& next = counts[digit];
        if (next[(keyed[0].prefix >> shift) & kDigitMask] == keyed.size()) continue;  // every key has this digit
        std::size_t start = 0;
        for (std::size_t& count : next) start += std::exchange(count, start);
        for (const Keyed& k : keyed) scratch[next[(k.prefix >> shift) & kDigitMask]++] = k;
        keyed.swap(scratch);
    }
    auto equal_runs = [](std::span<Keyed> range, auto&& on_run) {
        for (std::size_t begin = 0; begin < range.size();) {
            std::size_t end = begin + 1;
            while (end < range.size() && range[end].prefix == range[begin].prefix) ++end;
            if (end - begin > 1) on_run(range.subspan(begin, end - begin));
            begin = end;
        }
    };
    equal_runs(keyed, [&](std::span<Keyed> run) {
        for (Keyed& k : run) k.prefix = second_words[k.index];
        std::sort(run.begin(), run.end(), [](const Keyed& a, const Keyed& b) { return a.prefix < b.prefix; });
        equal_runs(run, [&](std::span<Keyed> tie) { sort_from(tie, 16, doc.strings); });
    });
    auto by_text = [&doc](Symbol a, Symbol b) { return doc.text(a) < doc.text(b); };
    std::size_t middle = sorted_.size();
    sorted_.reserve(sorted_.size() + keyed.size());
    for (const Keyed& k : keyed) sorted_.push_back(k.sym);
    recent_.clear();
    recent_.shrink_to_fit();
    if (middle > 0)
        std::inplace_merge(sorted_.begin(), sorted_.begin() + static_cast<std::ptrdiff_t>(middle), sorted_.end(),
                           by_text);
    // Drop deleted symbols and the stale twin of a symbol deleted and inserted again.
    auto out = sorted_.begin();
    for (auto it = sorted_.begin(); it != sorted_.end(); ++it) {
        if (!doc.in_vocab[*it]) continue;
        if (out != sorted_.begin() && *(out - 1) == *it) continue;
        *out++ = *it;
    }
    sorted_.erase(out, sorted_.end());
    stale_ = false;
}

}  // namespace vocarix
