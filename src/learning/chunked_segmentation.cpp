#include "learning/chunked_segmentation.hpp"

#include "analysis/token_style.hpp"

namespace vocarix {
namespace {

// Beyond this many cached chunks the cache stops growing.
constexpr std::size_t kCacheLimit = 1 << 22;

// True when some merge joins across the place before a marker that follows
// another character.
bool merges_cross_marker(const EditorState& state, std::string_view marker) {
    bool crosses = false;
    state.for_each_merge([&](SlotIndex s) {
        Merge merge = state.merge_at(s);
        if (state.text(merge.right).starts_with(marker) && !state.text(merge.left).ends_with(marker)) crosses = true;
    });
    return crosses;
}

}  // namespace

ChunkedSegmenter::ChunkedSegmenter(const EditorState& state) : segmenter_(state) {
    const ModelSettings& model = state.sections.model;
    StyleReport style = detect_token_style(state);
    if (style.style != TokenStyle::kMetaspace || style.marker.empty() || model.ignore_merges ||
        !subword_prefix(model).empty() || !word_suffix(model).empty())
        return;
    if (state.contains(style.marker) && !merges_cross_marker(state, style.marker)) marker_ = style.marker;
}

void ChunkedSegmenter::segment_chunk(std::string_view chunk, std::vector<Symbol>& pieces) {
    auto it = cache_.find(chunk);
    if (it == cache_.end()) {
        segmenter_.segment(chunk, scratch_);
        if (cache_.size() >= kCacheLimit) {
            pieces.insert(pieces.end(), scratch_.pieces.begin(), scratch_.pieces.end());
            return;
        }
        it = cache_.emplace(std::string(chunk), scratch_.pieces).first;
    }
    pieces.insert(pieces.end(), it->second.begin(), it->second.end());
}

void ChunkedSegmenter::segment(std::string_view word, std::vector<Symbol>& pieces) {
    if (marker_.empty()) {
        segmenter_.segment(word, scratch_);
        pieces.insert(pieces.end(), scratch_.pieces.begin(), scratch_.pieces.end());
        return;
    }
    std::size_t start = 0;
    for (std::size_t at = word.find(marker_, 1); at != std::string_view::npos; at = word.find(marker_, at + 1)) {
        // Only a marker that follows another character starts a chunk.
        if (std::string_view(word.data(), at).ends_with(marker_)) continue;
        segment_chunk(word.substr(start, at - start), pieces);
        start = at;
    }
    segment_chunk(word.substr(start), pieces);
}

}  // namespace vocarix
