#include "analysis/id_remap.hpp"

#include <algorithm>
#include <string_view>
#include <unordered_set>

#include "analysis/segmentation.hpp"
#include "state/loading.hpp"

namespace vocarix {
namespace {

// The word the model receives for a token: without the end-of-word suffix
// it ends with and the continuing-subword prefix it starts with, which the
// model adds back itself.
std::string word_of(const ModelSettings& model, std::string_view token) {
    const std::string_view suffix = word_suffix(model);
    const std::string_view prefix = subword_prefix(model);
    if (!suffix.empty() && token.size() > suffix.size() && token.ends_with(suffix))
        token.remove_suffix(suffix.size());
    if (!prefix.empty() && token.size() > prefix.size() && token.starts_with(prefix))
        token.remove_prefix(prefix.size());
    return std::string(token);
}

std::vector<std::vector<std::uint32_t>> pieces_in(const EditorState& model, const std::vector<std::string>& tokens) {
    std::vector<std::string> words;
    words.reserve(tokens.size());
    for (const std::string& token : tokens) words.push_back(word_of(model.sections.model, token));
    std::vector<std::vector<std::uint32_t>> ids;
    ids.reserve(tokens.size());
    for (WordPieces& pieces : segment_words(model, words)) ids.push_back(std::move(pieces.ids));
    return ids;
}

}  // namespace

EditStart record_edit_start(const EditorState& state, bool keep_model) {
    EditStart start;
    start.ids = runtime_ids(state);
    if (keep_model) {
        // The copy reads what the state writes, in the form it was read in.
        WrittenText text = write_document_text(state);
        start.model = parse_tokenizer_text(text.view(), ReadMode::kLenient);
    }
    return start;
}

IdRemap remap_ids(const EditStart& start, const EditorState& after) {
    return remap_ids(start, runtime_ids(after));
}

IdRemap remap_ids(const EditStart& start, const RuntimeIds& now) {
    const RuntimeIds& before = start.ids;
    IdRemap remap;
    remap.rows_before = before.rows;
    remap.rows_after = now.rows;

    std::unordered_set<std::string_view> outside;
    for (const RuntimeAddedToken& token : before.added)
        if (!token.in_vocab) outside.insert(token.content);
    // Both token lists are in byte order: one walk over the two pairs every
    // old token with its new id (the moves, in key order) and finds the
    // tokens that are new.
    struct Move {
        std::uint32_t old_id;
        int rank;  // who the runtime reads a shared id as: 0 an added token, 1 an entry
        std::optional<std::uint32_t> new_id;
    };
    std::vector<Move> moves;
    moves.reserve(before.tokens.size());
    std::vector<std::string> fresh;
    auto old_it = before.tokens.begin();
    auto new_it = now.tokens.begin();
    while (old_it != before.tokens.end() || new_it != now.tokens.end()) {
        bool old_first = new_it == now.tokens.end() || (old_it != before.tokens.end() && old_it->first < new_it->first);
        bool new_first = old_it == before.tokens.end() || (new_it != now.tokens.end() && new_it->first < old_it->first);
        if (new_first) {
            fresh.push_back(new_it->first);
            remap.added.push_back({new_it->first, new_it->second, {}});
            ++new_it;
            continue;
        }
        std::optional<std::uint32_t> new_id;
        if (!old_first) new_id = (new_it++)->second;
        moves.push_back({old_it->second, outside.count(old_it->first) ? 0 : 1, new_id});
        ++old_it;
    }
    // Sorted by old id, then rank, then key order: one integer per move
    // (its index below 2^31 for any token list that fits in memory) sorts
    // twice as fast as the moves themselves.
    std::vector<std::uint64_t> keys(moves.size());
    for (std::size_t i = 0; i < moves.size(); ++i)
        keys[i] = std::uint64_t{moves[i].old_id} << 32 | std::uint64_t(moves[i].rank) << 31 | i;
    std::sort(keys.begin(), keys.end());
    remap.old_to_new.reserve(moves.size());
    for (std::uint64_t key : keys) {
        const Move& move = moves[key & 0x7FFFFFFF];
        if (remap.old_to_new.empty() || remap.old_to_new.back().first != move.old_id)
            remap.old_to_new.emplace_back(move.old_id, move.new_id);
    }

    if (start.model) {
        std::vector<std::vector<std::uint32_t>> pieces = pieces_in(*start.model, fresh);
        for (std::size_t i = 0; i < remap.added.size(); ++i) remap.added[i].from = std::move(pieces[i]);
    }
    std::stable_sort(remap.added.begin(), remap.added.end(),
                     [](const NewToken& a, const NewToken& b) { return a.id < b.id; });
    return remap;
}

}  // namespace vocarix
