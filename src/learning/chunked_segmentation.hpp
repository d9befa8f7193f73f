// Segmenting the words of a corpus, many times over, exactly as the runtime
// does and faster where a word falls apart into chunks that segment alone.
//
// A "▁" file without a pre-tokenizer hands the model whole lines, and most
// lines occur once. A piece can only span the place before a marker that
// follows another character when some merge joins a left part not ending
// in the marker to a right part starting with it. Where the file has no such
// merge (and no prefix, suffix or ignore_merges, which look at the whole
// word), the line is cut there and each chunk segmented once, from a cache.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "analysis/segmentation.hpp"
#include "state/editor_state.hpp"

namespace vocarix {

class ChunkedSegmenter {
public:
    explicit ChunkedSegmenter(const EditorState& state);

    // Appends the pieces the runtime gives for `word`.
    void segment(std::string_view word, std::vector<Symbol>& pieces);
    // The marker chunks are cut before; empty when words are segmented whole.
    const std::string& marker() const { return marker_; }

private:
    void segment_chunk(std::string_view chunk, std::vector<Symbol>& pieces);

    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };

    Segmenter segmenter_;
    Segmentation scratch_;
    std::string marker_;
    std::unordered_map<std::string, std::vector<Symbol>, Hash, std::equal_to<>> cache_;
};

}  // namespace vocarix
