// A word table written as a word-count file: a JSON object of word ->
// count, most used first, then by word, one member to a line.
#include <algorithm>
#include <array>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>

#include "document/text.hpp"
#include "document/text_part.hpp"
#include "learning/both_threads.hpp"
#include "learning/word_table.hpp"

namespace vocarix {
namespace {

// A word of the JSON output: its count, its first sixteen bytes as ranks
// (which settle most ties without reaching into the arena) and where it lies.
struct CountRecord {
    std::uint64_t count, prefix[2];
    const char* word;
    std::size_t length;
};

// Most used first, then by word: the words as written, compared through the
// ranks of their bytes.
struct BeforeInJson {
    const std::uint8_t* rank;
    bool operator()(const CountRecord& a, const CountRecord& b) const {
        if (a.count != b.count) return a.count > b.count;
        if (a.prefix[0] != b.prefix[0]) return a.prefix[0] < b.prefix[0];
        if (a.prefix[1] != b.prefix[1]) return a.prefix[1] < b.prefix[1];
        const std::size_t common = std::min(a.length, b.length);
        for (std::size_t i = 16; i < common; ++i) {
            const std::uint8_t x = rank[static_cast<unsigned char>(a.word[i])], y = rank[static_cast<unsigned char>(b.word[i])];
            if (x != y) return x < y;
        }
        return a.length < b.length;
    }
};

// Text is handed on in pieces of about this many bytes.
constexpr std::size_t kPieceBytes = 1 << 20;

// Appends the members of two sorted runs of records, merged, each after
// ",\n" except the very first of the object (`first`), their words as
// `form` writes them; whenever `out` holds a piece's worth, it is handed to
// hand_on, which takes its bytes and leaves it empty.
void append_members(TextPart& out, const std::vector<CountRecord>& run_a, const std::vector<CountRecord>& run_b,
                    bool first, const BeforeInJson& before, const WordTable::KeyForm& form,
                    const std::function<void(TextPart&)>& hand_on) {
    // Written into room made for words that need no escape (nearly all of
    // them); one that does goes through the general writer.
    std::size_t used = out.size();
    std::size_t room = 0;
    for (const auto* run : {&run_a, &run_b})
        for (const CountRecord& record : *run) room += form.growth * record.length + 30;
    out.resize(used + std::min(room, 2 * kPieceBytes) + 32);
    char* at = out.data() + used;
    std::string written, escaped;
    auto put = [&](const char* bytes, std::size_t length) {
        if (static_cast<std::size_t>(out.data() + out.size() - at) < length + 32) {
            used = static_cast<std::size_t>(at - out.data());
            out.resize(2 * out.size() + length + 32);
            at = out.data() + used;
        }
        std::memcpy(at, bytes, length);
        at += length;
    };
    std::size_t a = 0, b = 0;
    constexpr std::size_t kAhead = 8;  // the words lie apart in the arena
    for (bool opens = first; a < run_a.size() || b < run_b.size(); opens = false) {
        const bool take_a = b == run_b.size() || (a < run_a.size() && before(run_a[a], run_b[b]));
        const CountRecord& record = take_a ? run_a[a++] : run_b[b++];
        if (a + kAhead < run_a.size()) __builtin_prefetch(run_a[a + kAhead].word);
        if (b + kAhead < run_b.size()) __builtin_prefetch(run_b[b + kAhead].word);
        put(opens ? "\n\"" : ",\n\"", opens ? 2 : 3);
        std::string_view word(record.word, record.length);
        if (form.write) {
            written.clear();
            form.write(written, word);
            word = written;
        }
        if (std::none_of(word.begin(), word.end(), [](char c) {
                const auto byte = static_cast<unsigned char>(c);
                return byte < 0x20 || byte == '"' || byte == '\\';
            })) {
            put(word.data(), word.size());
        } else {
            escaped.clear();
            append_python_json_string(escaped, word, false);
            put(escaped.data() + 1, escaped.size() - 2);  // without its quotes
        }
        put("\": ", 3);
        char digits[24];
        put(digits, static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, record.count).ptr - digits));
        if (static_cast<std::size_t>(at - out.data()) >= kPieceBytes) {
            const std::size_t room_left = out.size();
            out.resize(static_cast<std::size_t>(at - out.data()));
            hand_on(out);
            out.resize(std::max<std::size_t>(room_left, kPieceBytes + 32));
            at = out.data();
        }
    }
    out.resize(static_cast<std::size_t>(at - out.data()));
}

void append_text(TextPart& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }

const std::uint8_t* identity_ranks() {
    static const auto ranks = [] {
        std::array<std::uint8_t, 256> out{};
        for (unsigned b = 0; b < 256; ++b) out[b] = static_cast<std::uint8_t>(b);
        return out;
    }();
    return ranks.data();
}

// Records drawn from the table to choose where the two threads' parts of
// the object meet: enough that each part holds close to half the words.
constexpr std::size_t kPivotSamples = 4096;

}  // namespace

std::string WordTable::json_by_count(unsigned threads, const KeyForm& form) const {
    std::string out;
    write_json_by_count(threads, form, [&](std::string_view piece) { out += piece; });
    return out;
}

void WordTable::write_json_by_count(unsigned threads, const KeyForm& form,
                                    const std::function<void(std::string_view)>& write) const {
    const std::uint8_t* rank = form.rank ? form.rank : identity_ranks();
    const BeforeInJson before{rank};
    auto record_of = [&](const Slot& slot) {
        const std::string_view word = word_at(slot.offset);
        CountRecord record{slot.count, {0, 0}, word.data(), word.size()};
        for (std::size_t k = 0; k < 16; ++k)
            record.prefix[k / 8] = record.prefix[k / 8] << 8 | (k < word.size() ? rank[static_cast<unsigned char>(word[k])] : 0);
        return record;
    };
    auto write_out = [&](TextPart& piece) {
        write(std::string_view(piece.data(), piece.size()));
        piece.clear();
    };
    TextPart first;
    append_text(first, "{");
    if (threads < 2 || size_ <= 100'000) {
        std::vector<CountRecord> records;
        records.reserve(size_);
        for_each_slot([&](const Slot& slot) { records.push_back(record_of(slot)); });
        std::sort(records.begin(), records.end(), before);
        append_members(first, records, {}, true, before, form, write_out);
        append_text(first, size_ ? "\n}\n" : "}\n");
        write_out(first);
        return;
    }
    // On two threads: a pivot drawn from a sample of the words cuts the
    // object in two parts of about half its bytes each. Each thread takes
    // the records of half the slots apart by the side of the pivot they fall
    // on and sorts its share of each part; then each makes one part,
    // merging the two threads' shares of it. The first part is written as it
    // is made, the second handed over in pieces and written after it.
    std::vector<CountRecord> sample;
    const std::size_t stride = std::max<std::size_t>(1, capacity_ / kPivotSamples);
    for (std::size_t i = 0; i < capacity_; i += stride)
        if (slots_[i].count) sample.push_back(record_of(slots_[i]));
    if (sample.empty()) for_each_slot([&](const Slot& slot) { if (sample.empty()) sample.push_back(record_of(slot)); });
    // The pivot halves the bytes to write rather than the words: the words
    // used most, which come first, are mostly shorter than the rest.
    std::sort(sample.begin(), sample.end(), before);
    auto weight = [](const CountRecord& record) { return record.length + 12; };  // a member's other bytes
    std::size_t half_weight = 0;
    for (const CountRecord& record : sample) half_weight += weight(record);
    half_weight /= 2;
    std::size_t at = 0;
    for (std::size_t before_at = 0; at + 1 < sample.size() && before_at + weight(sample[at]) <= half_weight; ++at)
        before_at += weight(sample[at]);
    const CountRecord pivot = sample[at];
    std::vector<CountRecord> shares[2][2];  // [half of the slots][part of the object]
    auto take_apart = [&](std::size_t half) {
        // Room for twice the expected share: unused room is never touched.
        for (auto& share : shares[half]) share.reserve(size_ / 2 + 1024);
        for_each_slot([&](const Slot& slot) {
            const CountRecord record = record_of(slot);
            shares[half][before(record, pivot) ? 0 : 1].push_back(record);
        }, half ? capacity_ / 2 : 0, half ? capacity_ : capacity_ / 2);
        for (auto& share : shares[half]) std::sort(share.begin(), share.end(), before);
    };
    run_both(true, [&] { take_apart(0); }, [&] { take_apart(1); });
    const bool first_part_empty = shares[0][0].empty() && shares[1][0].empty();
    // The second part's pieces, waiting for the first part to be written.
    std::mutex handing;
    std::condition_variable handed;
    std::deque<TextPart> second_pieces;
    bool second_done = false;
    auto hand_over = [&](TextPart& piece) {
        std::lock_guard<std::mutex> lock(handing);
        second_pieces.push_back(std::move(piece));
        piece = TextPart();
        handed.notify_one();
    };
    auto make_second = [&] {
        struct Done {  // told even when making the part fails
            std::mutex& handing;
            std::condition_variable& handed;
            bool& done;
            ~Done() {
                std::lock_guard<std::mutex> lock(handing);
                done = true;
                handed.notify_one();
            }
        } done{handing, handed, second_done};
        TextPart piece;
        append_members(piece, shares[0][1], shares[1][1], first_part_empty, before, form, hand_over);
        append_text(piece, "\n}\n");
        hand_over(piece);
    };
    auto make_first_then_write_second = [&] {
        append_members(first, shares[0][0], shares[1][0], true, before, form, write_out);
        write_out(first);
        for (;;) {
            std::unique_lock<std::mutex> lock(handing);
            handed.wait(lock, [&] { return !second_pieces.empty() || second_done; });
            if (second_pieces.empty()) return;
            TextPart piece = std::move(second_pieces.front());
            second_pieces.pop_front();
            lock.unlock();
            write_out(piece);
        }
    };
    // The part that waits for the other runs second: where no thread can be
    // had, run_both runs them one after the other.
    run_both(true, make_second, make_first_then_write_second);
}

}  // namespace vocarix
