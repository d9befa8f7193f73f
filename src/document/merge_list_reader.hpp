// Reading a document's merge list: ["a", "b"] pairs, or "a b" strings in
// the lenient mode's strings form, element by element into a sink.
//
// Large documents are read on two threads (ParallelMergeList): a worker
// finds the merge list as soon as reading starts and reads it from its first
// element while the calling thread reads the rest of the document; once the
// calling thread reaches the list, the rest of the list is cut into pieces
// that both threads take in turn, so neither waits long for the other, even
// when one of them gets little time on a busy machine. Parts are interned
// the way reading on one thread interns them, so the symbols, the merges
// and every error are the same: whatever a thread assumed is checked when
// the pieces are put together, and where an assumption does not hold or
// anything fails, the list is read again on the calling thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "document/json_cursor.hpp"
#include "document/records.hpp"

namespace vocarix {

// The depth of the merge list in every document layout: top object, model, list.
inline constexpr int kMergeListDepth = 2;

class MergeListCursor : public JsonCursor {
public:
    // A cursor of the two-thread read: its strings are not checked for
    // UTF-8 (MergeParts checks those the pool does not hold).
    MergeListCursor(std::string_view text, const char* at) : JsonCursor(text) {
        p_ = at;
        checks_utf8_ = false;
    }
    const char* position() const { return p_; }

    // At an element: reads it and hands its two parts to sink.part(text).
    // The text may live in the cursor's scratch space until the next string.
    template <class Sink>
    void read_merge_element(Sink& sink, MergeForm form, int depth);
    // After an element: true at the list's closing ']' (consumed); false
    // after a ',' with the cursor at the next element.
    bool next_merge_element();
    // At the list's '[': past it; true when the list is empty (its ']' consumed too).
    bool open_merge_list();

protected:
    using JsonCursor::JsonCursor;

private:
    template <class Sink>
    void read_merge_pair(Sink& sink, int depth);
    // A pair as tokenizers write it, `["a", "b"]` with no escape and within
    // the next 64 bytes, read from masks of those bytes; false, having read
    // nothing, for anything else, which the general reading then takes.
    template <class Sink>
    bool read_plain_pair(Sink& sink);
    template <class Sink>
    void read_merge_string(Sink& sink);
};

// The parts of a stretch of the merge list, before the symbols they get are
// known: the merges in order, each naming a part by its symbol in the pool
// or, where the pool could not be asked, by its place among the parts kept
// here (each distinct one once, in order of first appearance). The pool is
// asked once `frozen` is set: from then on nothing is interned into it until
// the parts are adopted.
class MergeParts {
public:
    MergeParts(std::string_view text, const StringPool& pool, std::size_t expected_merges,
               const std::atomic<bool>* frozen);

    // The sink of MergeListCursor.
    void part(std::string_view text);
    void element_done();
    // After the last element: the parts still waiting are named.
    void finish();
    // Looks the kept parts up in the pool (frozen by then); each is kNoSymbol
    // where it is new. Parts are read unchecked: a new one that is not valid
    // UTF-8 makes `valid()` false.
    void resolve();
    bool valid() const { return valid_; }
    // Interns the kept parts the pool does not hold, in order, and appends
    // the merges, named by their symbols, to `out`.
    void adopt(DocumentRecords& records, std::vector<Merge>& out);
    std::size_t merge_count() const { return merges_.size(); }
    // Memory the kept parts take.
    std::size_t kept_bytes() const {
        return kept_.capacity() * sizeof(KeptPart) + kept_text_.capacity() + slots_.capacity() * sizeof(std::uint32_t);
    }

private:
    static constexpr std::uint32_t kKept = 0x80000000u;  // a kept part's name: its index | kKept
    struct Part {
        std::uint32_t offset;  // in the text, or in copies_ | kKept
        std::uint32_t length;
        std::uint64_t hash;
    };
    // A kept part: where its copy is in kept_text_.
    struct KeptPart {
        std::uint32_t offset;
        std::uint32_t length;
    };
    static constexpr std::size_t kBatch = 64;

    Part locate(std::string_view text, std::uint64_t hash);
    // A part that is not in the text as it is (it held escapes), kept in copies_.
    [[gnu::noinline]] Part copy(std::string_view text, std::uint64_t hash);
    std::string_view text_of(const Part& part) const;
    std::string_view kept_text(std::size_t index) const {
        return std::string_view(kept_text_).substr(kept_[index].offset, kept_[index].length);
    }
    std::uint32_t keep(const Part& part);
    void name(std::uint32_t name);
    void flush();

    const char* begin_;
    const char* end_;
    const StringPool& pool_;
    std::uint64_t seed_;
    const std::atomic<bool>* frozen_;
    bool asking_pool_ = false;
    std::vector<KeptPart> kept_;
    std::string kept_text_;
    std::vector<std::uint32_t> slots_;  // index + 1 into kept_, 0 when empty
    std::size_t slot_mask_ = 0;
    std::string copies_;  // parts that do not appear as they are in the text (escapes)
    std::vector<Part> pending_;
    std::vector<Symbol> resolved_;  // per kept part, after resolve()
    std::vector<Merge> merges_;
    std::uint32_t left_ = 0;
    bool have_left_ = false;
    bool valid_ = true;
};

class ParallelMergeList {
public:
    // Starts the worker for a large document; for a small one (or on a
    // single core) it does nothing and read() declines.
    ParallelMergeList(std::string_view text, bool lenient, const StringPool& pool);
    ~ParallelMergeList();
    ParallelMergeList(const ParallelMergeList&) = delete;
    ParallelMergeList& operator=(const ParallelMergeList&) = delete;

    // With the calling thread's cursor at a merge list at `depth` (at its
    // '['): reads the list with the worker, appends its merges to `records`
    // (whose pool nothing else changes meanwhile) and returns the position
    // after the list. Returns nullptr, having changed nothing, when the
    // list is to be read on the calling thread instead.
    const char* read(DocumentRecords& records, const char* at, int depth, MergeForm& form);

private:
    struct Stretch {
        bool ok = false;
        bool stopped = false;       // at the place it was to stop, before the list's end
        const char* end = nullptr;  // past the list's ']', or where it stopped
    };
    // A piece of the list after where the worker had got to: from `start`
    // (an element's start, if the previous piece ends there) up to `stop`,
    // the next piece's start, or to the list's end for the last piece.
    struct Piece {
        const char* start = nullptr;
        const char* stop = nullptr;
        std::unique_ptr<MergeParts> parts;
        Stretch read;
    };

    void work();
    const char* locate() const;
    const char* split_point(const char* from, MergeForm form) const;
    void cut_into_pieces(const char* from, MergeForm form);
    void read_pieces();
    void read_piece(Piece& piece);
    bool pieces_follow_on(const Stretch& head) const;
    template <class Check>
    Stretch read_stretch(MergeParts& parts, const char* at, MergeForm form, bool first, Check&& check);
    void cancel();

    std::string_view text_;
    bool lenient_;
    const StringPool& pool_;
    std::thread worker_;

    std::mutex mutex_;
    std::condition_variable changed_;
    // Set by the worker.
    bool located_ = false;
    const char* list_ = nullptr;  // the '[' it took for the merge list
    MergeForm form_ = MergeForm::kPairs;
    bool done_ = false;
    Stretch head_;
    // Set by the calling thread.
    bool frozen_ = false;
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> frozen_flag_{false};
    // Where the first piece starts: published after the pieces are laid out.
    std::atomic<const char*> stop_at_{nullptr};
    std::atomic<const char*> progress_{nullptr};  // how far the worker has read
    std::unique_ptr<MergeParts> head_parts_;
    std::vector<Piece> pieces_;
    std::atomic<std::size_t> next_piece_{0};  // the next piece a thread may take
};

// ---- templates ----

template <class Sink>
void MergeListCursor::read_merge_element(Sink& sink, MergeForm form, int depth) {
    skip_ws();
    if (form == MergeForm::kStrings) {
        if (at_end() || peek() != '"') fail_type("a string");
        read_merge_string(sink);
    } else {
        read_merge_pair(sink, depth);
    }
    sink.element_done();
}

template <class Sink>
void MergeListCursor::read_merge_pair(Sink& sink, int depth) {
    if (at_end() || peek() != '[') fail_type("a sequence");
    enter(depth + 1);
    if (read_plain_pair(sink)) return;
    std::size_t count = for_each_element([&](std::size_t index) {
        skip_ws();
        if (at_end() || peek() != '"') fail_type("a string");
        std::string_view part = parse_string();
        if (index < 2) sink.part(part);
    });
    if (count != 2) fail("Merge must have exactly 2 elements", p_);
}

template <class Sink>
bool MergeListCursor::read_plain_pair(Sink& sink) {
#if defined(__SSE2__)
    if (checks_utf8_ || end_ - p_ < 64) return false;
    const ByteMasks masks(p_);
    const int open1 = masks.next_token(0);
    if (!masks.is_quote(open1)) return false;
    const int close1 = masks.string_end(open1);
    if (close1 < 0) return false;
    const int comma = masks.next_token(close1);
    if (comma >= 64 || p_[comma] != ',') return false;
    const int open2 = masks.next_token(comma);
    if (!masks.is_quote(open2)) return false;
    const int close2 = masks.string_end(open2);
    if (close2 < 0) return false;
    const int end = masks.next_token(close2);
    if (end >= 64 || p_[end] != ']') return false;
    const char* at = p_;
    p_ += end + 1;
    sink.part(std::string_view(at + open1 + 1, static_cast<std::size_t>(close1 - open1 - 1)));
    sink.part(std::string_view(at + open2 + 1, static_cast<std::size_t>(close2 - open2 - 1)));
    return true;
#else
    (void)sink;
    return false;
#endif
}

template <class Sink>
void MergeListCursor::read_merge_string(Sink& sink) {
    std::string_view merge = parse_string();
    std::size_t space = merge.find(' ');
    if (space == std::string_view::npos || merge.find(' ', space + 1) != std::string_view::npos)
        fail("invalid merge " + debug_quoted(merge) + ": expected two parts separated by one space", p_);
    sink.part(merge.substr(0, space));
    sink.part(merge.substr(space + 1));
}

}  // namespace vocarix
