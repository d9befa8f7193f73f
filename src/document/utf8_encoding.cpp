#include "document/utf8_encoding.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vocarix {
namespace {

// Below this many code points a second thread costs more than it saves.
constexpr std::size_t kUnitsWorthTwoThreads = std::size_t{1} << 20;
// The pieces the two threads take in turn: a fraction of a millisecond each.
constexpr std::size_t kPieceUnits = std::size_t{1} << 19;

// Writes one code point that is not ASCII; false at a surrogate. Written out
// here rather than through append_utf8, whose call the loop keeps: encoding a
// large text takes about a fifth less time this way.
inline bool put_non_ascii(std::uint32_t cp, char*& out) {
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        out += 2;
    } else if (cp < 0x10000) {
        if (cp >= 0xD800 && cp <= 0xDFFF) return false;
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        out += 3;
    } else {
        out[0] = static_cast<char>(0xF0 | (cp >> 18));
        out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[3] = static_cast<char>(0x80 | (cp & 0x3F));
        out += 4;
    }
    return true;
}

// Encodes the units up to `stop` one at a time; false at a surrogate.
template <class Unit>
inline bool encode_each(const Unit*& units, const Unit* stop, char*& out) {
    for (; units < stop; ++units) {
        const std::uint32_t cp = *units;
        if (cp < 0x80) *out++ = static_cast<char>(cp);
        else if (!put_non_ascii(cp, out)) return false;
    }
    return true;
}

#if defined(__SSE2__)
constexpr std::size_t kVectorBytes = 16;

// Per unit of a vector, all bits but the low seven: zero exactly for ASCII.
template <class Unit>
__m128i above_ascii_bits() {
    if constexpr (sizeof(Unit) == 1) return _mm_set1_epi8(static_cast<char>(0x80));
    else if constexpr (sizeof(Unit) == 2) return _mm_set1_epi16(static_cast<short>(0xFF80));
    else return _mm_set1_epi32(static_cast<int>(0xFFFFFF80));
}
#endif

// One thread's share. A vector of units that are all ASCII is narrowed and
// stored in one step; any other vector is encoded a unit at a time. Both
// advance by a whole vector: a step that depended on where the first
// non-ASCII unit is would chain every load to the one before it.
template <class Unit>
char* encode_stretch(const Unit* units, std::size_t count, char* out) {
    const Unit* end = units + count;
#if defined(__SSE2__)
    constexpr std::size_t kPerVector = kVectorBytes / sizeof(Unit);
    const __m128i above_ascii = above_ascii_bits<Unit>();
    while (static_cast<std::size_t>(end - units) >= kPerVector) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(v, above_ascii), _mm_setzero_si128())) == 0xFFFF) {
            // The store fits: kPerVector units take at least kPerVector bytes.
            if constexpr (sizeof(Unit) == 1) {
                _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v);
            } else {
                __m128i bytes = v;
                if constexpr (sizeof(Unit) == 4) bytes = _mm_packs_epi32(bytes, bytes);
                bytes = _mm_packus_epi16(bytes, bytes);
                if constexpr (sizeof(Unit) == 2) _mm_storel_epi64(reinterpret_cast<__m128i*>(out), bytes);
                else {
                    const int four = _mm_cvtsi128_si32(bytes);
                    std::memcpy(out, &four, 4);
                }
            }
            out += kPerVector;
            units += kPerVector;
            continue;
        }
        if (!encode_each(units, units + kPerVector, out)) return nullptr;
    }
#endif
    return encode_each(units, end, out) ? out : nullptr;
}

// How many bytes the UTF-8 of `count` code points takes, surrogates counted
// as if they could be encoded (encoding them fails anyway).
template <class Unit>
std::size_t utf8_length(const Unit* units, std::size_t count) {
    std::size_t length = count;
    std::size_t i = 0;
#if defined(__SSE2__)
    if constexpr (sizeof(Unit) == 2) {
        // Per lane, a count of the unit limits (0x7F, 0x7FF) that the lane's
        // units stayed within: each unit takes three bytes less that count.
        const __m128i two = _mm_set1_epi16(0x7F), three = _mm_set1_epi16(0x7FF);
        const __m128i zero = _mm_setzero_si128();
        // A lane gains at most two a vector: a block's counts fit in 16 bits.
        constexpr std::size_t kVectorsPerBlock = 16000;
        while (i + 8 <= count) {
            const std::size_t block_start = i;
            __m128i within = zero;
            const std::size_t stop = std::min(count - count % 8, i + 8 * kVectorsPerBlock);
            for (; i < stop; i += 8) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(units + i));
                within = _mm_sub_epi16(within, _mm_cmpeq_epi16(_mm_subs_epu16(v, two), zero));
                within = _mm_sub_epi16(within, _mm_cmpeq_epi16(_mm_subs_epu16(v, three), zero));
            }
            alignas(16) std::uint32_t sums[4];
            _mm_store_si128(reinterpret_cast<__m128i*>(sums), _mm_madd_epi16(within, _mm_set1_epi16(1)));
            length += 2 * (i - block_start) - (sums[0] + sums[1] + sums[2] + sums[3]);
        }
    }
#endif
    for (; i < count; ++i) {
        const std::uint32_t cp = units[i];
        length += (cp >= 0x80) + (cp >= 0x800) + (cp >= 0x10000);
    }
    return length;
}

}  // namespace

template <class Unit>
char* encode_utf8_units(const Unit* units, std::size_t count, char* out) {
    if (count < kUnitsWorthTwoThreads) return encode_stretch(units, count, out);
    // The text is cut into pieces that both threads take in turn, first to
    // measure each piece's encoding, then, once every length is known, to
    // encode each piece at its place. Taking pieces in turn lets the faster
    // thread do more: on a shared machine one core may run far slower than
    // the other.
    const std::size_t pieces = (count + kPieceUnits - 1) / kPieceUnits;
    std::vector<std::size_t> lengths(pieces);
    std::atomic<std::size_t> next_to_measure{0}, measured{0}, next_to_encode{0};
    std::atomic<bool> surrogate{false};
    auto piece = [&](std::size_t i) { return std::pair(units + i * kPieceUnits, std::min(kPieceUnits, count - i * kPieceUnits)); };
    auto work = [&] {
        for (std::size_t i; (i = next_to_measure.fetch_add(1, std::memory_order_relaxed)) < pieces;) {
            auto [start, size] = piece(i);
            lengths[i] = utf8_length(start, size);
            measured.fetch_add(1, std::memory_order_release);
        }
        // Measuring a piece takes a fraction of a millisecond: the wait is short.
        while (measured.load(std::memory_order_acquire) < pieces) std::this_thread::yield();
        for (std::size_t i; (i = next_to_encode.fetch_add(1, std::memory_order_relaxed)) < pieces;) {
            auto [start, size] = piece(i);
            std::size_t offset = 0;  // a few dozen pieces: summing them again is nothing
            for (std::size_t j = 0; j < i; ++j) offset += lengths[j];
            if (!encode_stretch(start, size, out + offset)) surrogate.store(true, std::memory_order_relaxed);
        }
    };
    std::thread second;
    try {
        second = std::thread(work);
    } catch (const std::system_error&) {
        return encode_stretch(units, count, out);  // no thread to be had
    }
    work();
    second.join();
    if (surrogate.load(std::memory_order_relaxed)) return nullptr;
    std::size_t total = 0;
    for (std::size_t length : lengths) total += length;
    return out + total;
}

template char* encode_utf8_units(const std::uint8_t*, std::size_t, char*);
template char* encode_utf8_units(const std::uint16_t*, std::size_t, char*);
template char* encode_utf8_units(const std::uint32_t*, std::size_t, char*);

}  // namespace vocarix
