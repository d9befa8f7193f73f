#include "analysis/piece_types.hpp"

#include <unordered_map>

#include "analysis/token_style.hpp"

namespace vocarix {

NewPieceKinds::NewPieceKinds(const EditorState& state, const RuntimeIds& ids, bool byte_fallback)
    : unknown_(state.sections.model.unk_token), byte_fallback_(byte_fallback) {
    for (const RuntimeAddedToken& token : ids.added) added_special_.emplace(token.content, token.special);
}

PieceType NewPieceKinds::of(std::string_view token) const {
    if (!unknown_.empty() && token == unknown_) return PieceType::kUnknown;
    if (auto added = added_special_.find(token); added != added_special_.end())
        return added->second ? PieceType::kControl : PieceType::kUserDefined;
    if (byte_fallback_ && is_byte_token(token)) return PieceType::kByte;
    return PieceType::kNormal;
}

std::vector<PieceType> piece_types(const EditorState& state, const RuntimeIds& ids,
                                   const std::vector<std::string_view>& tokens_by_id, bool byte_fallback,
                                   const KnownPieceType& known) {
    NewPieceKinds kinds(state, ids, byte_fallback);
    std::vector<PieceType> types(tokens_by_id.size(), PieceType::kNormal);
    for (std::size_t id = 0; id < tokens_by_id.size(); ++id) {
        std::optional<PieceType> kept = known ? known(tokens_by_id[id]) : std::nullopt;
        types[id] = kept ? *kept : kinds.of(tokens_by_id[id]);
    }
    return types;
}

}  // namespace vocarix
