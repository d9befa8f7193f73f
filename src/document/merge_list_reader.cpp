#include "document/merge_list_reader.hpp"

#include <algorithm>
#include <cstring>
#include <span>
#include <stdexcept>

#include "document/text.hpp"

namespace vocarix {
namespace {

// Smaller documents read faster on one thread than a thread starts.
constexpr std::size_t kParallelMinimum = 256 * 1024;
// The first piece starts this far past where the worker was last seen: a
// worker that passes a piece's start before it is told reads the whole
// list, and the pieces were for nothing. It is also the smallest piece.
constexpr std::size_t kSmallestPiece = 64 * 1024;
// What is left of the list when the calling thread gets there is cut into
// about this many pieces: small enough that the thread that finishes first
// waits little for the other, large enough that a piece's set-up is noise.
constexpr std::size_t kPieceCount = 16;
// Until the pool can be asked, every new part is kept by the worker: past
// this share of the text's size it waits instead, so that reading on two
// threads costs little more memory than reading on one.
constexpr std::size_t kKeptShare = 8;
// The shortest merge list elements, with their separator: ["","",] and "a b",.
constexpr std::size_t kShortestPair = 8, kShortestString = 6;
// Offsets into the text and names of kept parts are 31-bit.
constexpr std::size_t kKeptLimit = 0x80000000u;

struct Cancelled {};

bool is_ws(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

const char* skip_ws(const char* p, const char* end) {
    while (p < end && is_ws(*p)) ++p;
    return p;
}

}  // namespace

// ---------------------------------------------------------------- cursor

bool MergeListCursor::open_merge_list() {
    ++p_;  // '['
    skip_ws();
    if (at_end()) fail_eof("EOF while parsing a list");
    if (peek() != ']') return false;
    ++p_;
    return true;
}

bool MergeListCursor::next_merge_element() {
    skip_ws();
    if (at_end()) fail_eof("EOF while parsing a list");
    char c = peek();
    ++p_;
    if (c == ']') return true;
    if (c != ',') fail("expected `,` or `]`", p_);
    skip_ws();
    if (!at_end() && peek() == ']') fail("trailing comma", p_ + 1);
    return false;
}

// ---------------------------------------------------------------- parts

MergeParts::MergeParts(std::string_view text, const StringPool& pool, std::size_t expected_merges,
                       const std::atomic<bool>* frozen)
    : begin_(text.data()),
      end_(text.data() + text.size()),
      pool_(pool),
      seed_(pool.hash_seed()),
      frozen_(frozen),
      slots_(1024, 0),
      slot_mask_(1023) {
    // Room for the longest list the text can hold costs address space only.
    merges_.reserve(expected_merges);
    pending_.reserve(2 * kBatch);
    asking_pool_ = frozen_ == nullptr;
}

MergeParts::Part MergeParts::locate(std::string_view text, std::uint64_t hash) {
    auto length = static_cast<std::uint32_t>(text.size());
    if (text.data() >= begin_ && text.data() + text.size() <= end_) [[likely]]
        return {static_cast<std::uint32_t>(text.data() - begin_), length, hash};
    return copy(text, hash);
}

MergeParts::Part MergeParts::copy(std::string_view text, std::uint64_t hash) {
    // Decoded into the cursor's scratch space, which the next string reuses.
    if (copies_.size() + text.size() >= kKept) throw std::length_error("merge list too large to read in parallel");
    auto offset = static_cast<std::uint32_t>(copies_.size());
    copies_.append(text);
    return {offset | kKept, static_cast<std::uint32_t>(text.size()), hash};
}

std::string_view MergeParts::text_of(const Part& part) const {
    if (part.offset & kKept) return std::string_view(copies_).substr(part.offset & ~kKept, part.length);
    return std::string_view(begin_ + part.offset, part.length);
}

std::uint32_t MergeParts::keep(const Part& part) {
    std::string_view text = text_of(part);
    std::size_t i = part.hash & slot_mask_;
    for (;; i = (i + 1) & slot_mask_) {
        const std::uint32_t slot = slots_[i];
        if (slot == 0) break;
        const KeptPart& other = kept_[slot - 1];
        if (other.length == part.length && same_bytes(kept_text_.data() + other.offset, text.data(), text.size()))
            return (slot - 1) | kKept;
    }
    if (kept_.size() + 1 >= kKept || kept_text_.size() + text.size() >= kKept)
        throw std::length_error("too many distinct merge parts");
    // A copy of each kept part, side by side: comparing with it stays in the cache.
    kept_.push_back({static_cast<std::uint32_t>(kept_text_.size()), part.length});
    kept_text_.append(text);
    slots_[i] = static_cast<std::uint32_t>(kept_.size());
    if (kept_.size() * 2 > slots_.size()) {
        // Linear probing stays short below half full.
        std::vector<std::uint32_t> grown(slots_.size() * 2, 0);
        slot_mask_ = grown.size() - 1;
        for (std::uint32_t index = 0; index < kept_.size(); ++index) {
            std::size_t j = hash_bytes(kept_text(index), seed_) & slot_mask_;
            while (grown[j] != 0) j = (j + 1) & slot_mask_;
            grown[j] = index + 1;
        }
        slots_ = std::move(grown);
    }
    return static_cast<std::uint32_t>(kept_.size() - 1) | kKept;
}

void MergeParts::name(std::uint32_t name) {
    if (!have_left_) {
        left_ = name;
        have_left_ = true;
        return;
    }
    merges_.push_back({left_, name});
    have_left_ = false;
}

void MergeParts::part(std::string_view text) {
    Part part = locate(text, hash_bytes(text, seed_));
    if (asking_pool_) pool_.prefetch_slot(part.hash);
    else __builtin_prefetch(&slots_[part.hash & slot_mask_]);
    pending_.push_back(part);
}

void MergeParts::element_done() {
    if (!asking_pool_ && frozen_->load(std::memory_order_acquire)) {
        // The parts read before the pool could be asked are kept first, in order.
        flush();
        asking_pool_ = true;
    }
    if (pending_.size() >= 2 * kBatch) flush();
}

void MergeParts::flush() {
    // The batch's entries are fetched before any is looked up (their slots were in part()).
    if (asking_pool_) {
        pool_.prefetch_entries(pending_, [](const Part& part) { return part.hash; });
        for (const Part& part : pending_) {
            Symbol sym = pool_.find(text_of(part), part.hash);
            name(sym != kNoSymbol && sym < kKept ? sym : keep(part));
        }
    } else {
        for (const Part& part : pending_)
            if (std::uint32_t slot = slots_[part.hash & slot_mask_]) __builtin_prefetch(&kept_[slot - 1]);
        for (const Part& part : pending_) name(keep(part));
    }
    pending_.clear();
}

void MergeParts::finish() { flush(); }

void MergeParts::resolve() {
    resolved_.resize(kept_.size());
    std::uint64_t hashes[kBatch];
    for (std::size_t start = 0; start < kept_.size(); start += kBatch) {
        // A batch's look-ups fetched a step at a time, as in flush().
        const std::size_t count = std::min(kBatch, kept_.size() - start);
        for (std::size_t i = 0; i < count; ++i) {
            hashes[i] = hash_bytes(kept_text(start + i), seed_);
            pool_.prefetch_slot(hashes[i]);
        }
        pool_.prefetch_entries(std::span(hashes, count), [](std::uint64_t hash) { return hash; });
        for (std::size_t i = 0; i < count; ++i) {
            std::string_view text = kept_text(start + i);
            resolved_[start + i] = pool_.find(text, hashes[i]);
            // What the pool holds was checked when it was read.
            if (resolved_[start + i] == kNoSymbol && !is_valid_utf8(text)) valid_ = false;
        }
    }
}

void MergeParts::adopt(DocumentRecords& records, std::vector<Merge>& out) {
    if (resolved_.size() != kept_.size()) resolve();
    // New strings get their symbols in the order they first appear, as when
    // every part is interned as it is read.
    for (std::size_t i = 0; i < kept_.size(); ++i)
        if (resolved_[i] == kNoSymbol) resolved_[i] = records.intern(kept_text(i));
    auto symbol = [&](std::uint32_t name) { return name & kKept ? resolved_[name & ~kKept] : name; };
    for (Merge& merge : merges_) merge = {symbol(merge.left), symbol(merge.right)};
    if (out.empty()) {
        out = std::move(merges_);
    } else {
        out.insert(out.end(), merges_.begin(), merges_.end());
        merges_ = {};
    }
    kept_ = {};
    kept_text_ = {};
    slots_ = {};
    copies_ = {};
    resolved_ = {};
}

// ---------------------------------------------------------------- two threads

ParallelMergeList::ParallelMergeList(std::string_view text, bool lenient, const StringPool& pool)
    : text_(text), lenient_(lenient), pool_(pool) {
    if (text.size() < kParallelMinimum || text.size() >= kKeptLimit || std::thread::hardware_concurrency() < 2)
        return;
    try {
        worker_ = std::thread([this] { work(); });
    } catch (const std::system_error&) {
        // No thread to be had: everything is read on the calling thread.
    }
}

ParallelMergeList::~ParallelMergeList() {
    if (!worker_.joinable()) return;
    cancel();
    worker_.join();
}

void ParallelMergeList::cancel() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        cancelled_.store(true, std::memory_order_relaxed);
    }
    changed_.notify_all();
}

// The first `"merges"` member whose value is a list: where the merge list
// starts in every document a tokenizer writes. A wrong guess (a member of
// the same name elsewhere) is found out when the calling thread gets there.
const char* ParallelMergeList::locate() const {
    static constexpr std::string_view kKey = "\"merges\"";
    const char* end = text_.data() + text_.size();
    for (const char* p = text_.data(); p < end;) {
        const void* found = memmem(p, static_cast<std::size_t>(end - p), kKey.data(), kKey.size());
        if (!found) return nullptr;
        const char* q = skip_ws(static_cast<const char*>(found) + kKey.size(), end);
        p = static_cast<const char*>(found) + 1;
        if (q == end || *q != ':') continue;
        q = skip_ws(q + 1, end);
        if (q < end && *q == '[') return q;
    }
    return nullptr;
}

// An element start at or after `from`, found by what separates two elements
// (`],` then `[`, or `",` then `"` in the strings form); nullptr if none. It
// may lie inside a string: the worker stops there only when it reads an
// element starting exactly there.
const char* ParallelMergeList::split_point(const char* from, MergeForm form) const {
    const char* end = text_.data() + text_.size();
    const char close = form == MergeForm::kStrings ? '"' : ']';
    for (const char* p = from; p < end; ++p) {
        p = static_cast<const char*>(std::memchr(p, close, static_cast<std::size_t>(end - p)));
        if (!p) return nullptr;
        const char* q = skip_ws(p + 1, end);
        if (q == end || *q != ',') continue;
        q = skip_ws(q + 1, end);
        if (q < end && *q == (form == MergeForm::kStrings ? '"' : '[')) return q;
    }
    return nullptr;
}

template <class Check>
ParallelMergeList::Stretch ParallelMergeList::read_stretch(MergeParts& parts, const char* at, MergeForm form,
                                                           bool first, Check&& check) {
    MergeListCursor cursor(text_, at);
    if (first && cursor.open_merge_list()) return {true, false, cursor.position()};
    for (std::size_t index = 0;; ++index) {
        if (check(cursor.position(), index)) {
            parts.finish();
            return {true, true, cursor.position()};
        }
        cursor.read_merge_element(parts, form, kMergeListDepth);
        if (cursor.next_merge_element()) {
            parts.finish();
            return {true, false, cursor.position()};
        }
    }
}

void ParallelMergeList::work() {
    Stretch head;
    bool take_pieces = false;
    try {
        const char* list = locate();
        MergeForm form = MergeForm::kPairs;
        if (list) {
            // The form the first element gives, as reading on one thread decides it.
            const char* first = skip_ws(list + 1, text_.data() + text_.size());
            if (lenient_ && first < text_.data() + text_.size() && *first == '"') form = MergeForm::kStrings;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            located_ = true;
            list_ = list;
            form_ = form;
        }
        changed_.notify_all();
        if (list) {
            const std::size_t bytes = static_cast<std::size_t>(text_.data() + text_.size() - list);
            head_parts_ = std::make_unique<MergeParts>(
                text_, pool_, bytes / (form == MergeForm::kStrings ? kShortestString : kShortestPair), &frozen_flag_);
            head = read_stretch(*head_parts_, list, form, true, [this](const char* at, std::size_t index) {
                if (at == stop_at_.load(std::memory_order_acquire)) return true;
                if (index % 256 == 0) {
                    progress_.store(at, std::memory_order_relaxed);
                    if (head_parts_->kept_bytes() > text_.size() / kKeptShare &&
                        !frozen_flag_.load(std::memory_order_acquire)) {
                        std::unique_lock<std::mutex> lock(mutex_);
                        changed_.wait(lock, [this] { return frozen_ || cancelled_.load(std::memory_order_relaxed); });
                    }
                    if (cancelled_.load(std::memory_order_relaxed)) throw Cancelled{};
                }
                return false;
            });
            // The kept parts are looked up once the pool holds everything before the list.
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return frozen_ || cancelled_.load(std::memory_order_relaxed); });
            if (!cancelled_.load(std::memory_order_relaxed)) {
                lock.unlock();
                head_parts_->resolve();
                // Stopping where the first piece starts means the pieces are laid out.
                take_pieces = head.stopped;
            }
        }
    } catch (...) {
        // Whatever went wrong (an error in the document, a cancellation) the
        // calling thread meets again when it reads the list itself.
        head = {};
    }
    if (take_pieces) read_pieces();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        located_ = true;  // also when it failed before saying where the list is
        head_ = head;
        done_ = true;
    }
    changed_.notify_all();
}

void ParallelMergeList::cut_into_pieces(const char* from, MergeForm form) {
    const char* end = text_.data() + text_.size();
    if (static_cast<std::size_t>(end - from) < 2 * kSmallestPiece) return;
    const std::size_t size = std::max(kSmallestPiece, static_cast<std::size_t>(end - from) / kPieceCount);
    for (const char* at = from + kSmallestPiece; at < end && static_cast<std::size_t>(end - at) >= kSmallestPiece;) {
        const char* start = split_point(at, form);
        if (!start) break;
        pieces_.push_back(Piece{start, nullptr, nullptr, {}});
        at = start + size;
    }
    for (std::size_t i = 0; i + 1 < pieces_.size(); ++i) pieces_[i].stop = pieces_[i + 1].start;
}

void ParallelMergeList::read_pieces() {
    for (std::size_t i; (i = next_piece_.fetch_add(1, std::memory_order_relaxed)) < pieces_.size();)
        read_piece(pieces_[i]);
}

void ParallelMergeList::read_piece(Piece& piece) {
    try {
        const char* end = piece.stop ? piece.stop : text_.data() + text_.size();
        // A typical merge takes a dozen bytes or more; the list grows if not.
        piece.parts = std::make_unique<MergeParts>(text_, pool_, static_cast<std::size_t>(end - piece.start) / 12,
                                                   nullptr);
        piece.read = read_stretch(*piece.parts, piece.start, form_, false, [&](const char* at, std::size_t index) {
            if (index % 256 == 0 && cancelled_.load(std::memory_order_relaxed)) throw Cancelled{};
            return piece.stop && at >= piece.stop;
        });
        piece.parts->resolve();
    } catch (...) {
        piece.read = {};
    }
}

// True when the pieces read on from where the head stopped to the list's
// end, each ending exactly where the next starts: then every piece started
// at an element, whatever the text around its start looked like.
bool ParallelMergeList::pieces_follow_on(const Stretch& head) const {
    if (!head.ok || !head.stopped || pieces_.empty() || head.end != pieces_.front().start) return false;
    for (std::size_t i = 0; i < pieces_.size(); ++i) {
        const Piece& piece = pieces_[i];
        const bool last = i + 1 == pieces_.size();
        if (!piece.read.ok || piece.read.stopped == last) return false;
        if (!last && piece.read.end != piece.stop) return false;
    }
    return true;
}

const char* ParallelMergeList::read(DocumentRecords& records, const char* at, int depth, MergeForm& form) {
    if (!worker_.joinable()) return nullptr;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return located_; });
    }
    if (list_ != at || depth != kMergeListDepth || records.strings.size() >= kKeptLimit) {
        cancel();
        return nullptr;
    }
    const MergeForm list_form = form_;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        frozen_ = true;
    }
    frozen_flag_.store(true, std::memory_order_release);
    changed_.notify_all();

    // What the worker has not read yet is cut into pieces that both threads take.
    const char* reached = progress_.load(std::memory_order_relaxed);
    cut_into_pieces(reached ? reached : at, list_form);
    if (!pieces_.empty()) {
        stop_at_.store(pieces_.front().start, std::memory_order_release);
        read_pieces();
    }
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return done_; });
    }
    worker_.join();

    // A head that did not stop read the whole list (it passed the first piece's start before it was told).
    if (!head_.ok) return nullptr;
    const bool with_pieces = head_.stopped;
    if (with_pieces && !pieces_follow_on(head_)) return nullptr;
    // A new part that is not valid UTF-8: the calling thread reads the list
    // again and reports it where it stands.
    if (!head_parts_->valid()) return nullptr;
    if (with_pieces)
        for (const Piece& piece : pieces_)
            if (!piece.parts->valid()) return nullptr;
    std::size_t count = head_parts_->merge_count();
    if (with_pieces)
        for (const Piece& piece : pieces_) count += piece.parts->merge_count();
    if (records.merges.size() + count >= kNoSlot - 1) throw std::length_error("too many merges");
    head_parts_->adopt(records, records.merges);
    if (with_pieces)
        for (Piece& piece : pieces_) piece.parts->adopt(records, records.merges);
    records.live_merges += count;
    if (list_form == MergeForm::kStrings) form = MergeForm::kStrings;
    return with_pieces ? pieces_.back().read.end : head_.end;
}

}  // namespace vocarix
