#include "operations/exact/char_sync.hpp"

#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <string>
#include <vector>

#include "document/errors.hpp"
#include "document/text.hpp"
#include "operations/exact/addition.hpp"
#include "operations/exact/reindex.hpp"
#include "operations/exact/removal.hpp"
#include "operations/exact/shrink.hpp"

namespace vocarix {
namespace {

// Fixed-point text, right-aligned in `width`; independent of the C locale.
std::string format_fixed(double value, int decimals, std::size_t width = 0) {
    char buffer[400];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    std::string text(buffer, result.ptr);
    if (text.size() < width) text.insert(0, width - text.size(), ' ');
    return text;
}

double seconds_between(std::chrono::steady_clock::time_point from, std::chrono::steady_clock::time_point to) {
    auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(to - from).count();
    return static_cast<double>(nanoseconds / 1'000'000'000) + static_cast<double>(nanoseconds % 1'000'000'000) / 1e9;
}

}  // namespace

void write_to_stderr(std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(2, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // a closed or broken stream must not stop the edit
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

SyncReport sync_single_chars(EditorState& state, const EditorState& source, std::uint32_t min_id,
                             const ProgressSink& progress) {
    using Clock = std::chrono::steady_clock;
    SyncReport report;
    report.initial_vocab_size = state.vocab_size();
    std::vector<std::string_view> missing;
    for (Symbol sym : source.key_order()) {
        std::string_view text = source.text(sym);
        if (char_length(text) != 1) continue;
        ++report.chars_in_source;
        if (!state.contains(text)) missing.push_back(text);
    }
    report.chars_added_count = missing.size();
    report.chars_already_present = report.chars_in_source - missing.size();
    if (missing.empty()) {
        report.final_vocab_size = state.vocab_size();
        return report;
    }
    // Removals free no ids, so check up front that every character can get one.
    if (missing.size() > state.free_ids()) throw IdSpaceExhausted();
    const std::string needed = std::to_string(missing.size());

    progress("\n   Pre-computing " + needed + " tokens to remove...\n");
    std::vector<ShrinkCandidate> candidates = find_shrink_candidates(state, missing.size(), min_id);
    const std::string found = std::to_string(candidates.size());
    progress("   Found " + found + " candidate tokens for removal\n");
    if (candidates.size() < missing.size())
        progress("   WARNING: Only found " + found + " tokens to remove, but need " + needed + "\n");

    progress("\n   Phase 1: Removing " + found + " tokens...\n");
    const Clock::time_point phase_start = Clock::now();
    Clock::time_point last_print = Clock::now();
    std::size_t processed = 0;
    AddedTokenSweep sweep(state);
    for (const ShrinkCandidate& candidate : candidates) {
        RemovalCounts removed = remove_token_counted(state, candidate.token, sweep);
        report.total_tokens_removed += removed.tokens;
        report.total_merges_removed += removed.merges;
        ++processed;
        Clock::time_point now = Clock::now();
        auto since_print = std::chrono::duration_cast<std::chrono::milliseconds>(now - last_print).count();
        if (since_print >= 100 || processed == candidates.size()) {
            double elapsed = seconds_between(phase_start, now);
            double fraction = static_cast<double>(processed) / static_cast<double>(candidates.size());
            double remaining = fraction > 0 ? elapsed / fraction - elapsed : 0.0;
            progress("\r   [" + format_fixed(fraction * 100.0, 1, 5) + "%] " + std::to_string(processed) + "/" + found +
                     " removed | Elapsed: " + format_fixed(elapsed, 1) + "s | ETA: " + format_fixed(remaining, 1) +
                     "s    ");
            last_print = now;
        }
    }
    sweep.flush();
    progress("\n");

    progress("\n   Phase 2: Adding " + needed + " single-char tokens...\n");
    const Clock::time_point adding_start = Clock::now();
    for (std::string_view character : missing) add_token_atomic(state, character);
    progress("   Added " + needed + " tokens in " + format_fixed(seconds_between(adding_start, Clock::now()), 2) +
             "s\n");

    progress("\n   Phase 3: Reindexing vocabulary to remove ID gaps...\n");
    ReindexResult reindexed = reindex_vocab(state);
    progress("   Reindexed " + std::to_string(reindexed.ids_remapped) + " IDs, removed " +
             std::to_string(reindexed.gaps_removed) + " gaps\n");

    report.final_vocab_size = state.vocab_size();
    return report;
}

}  // namespace vocarix
