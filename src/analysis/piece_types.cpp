#include "analysis/piece_types.hpp"

#include <unordered_map>

#include "analysis/token_style.hpp"

namespace vocarix {

std::vector<PieceType> piece_types(const EditorState& state, const RuntimeIds& ids,
                                   const std::vector<std::string_view>& tokens_by_id, bool byte_fallback,
                                   const KnownPieceType& known) {
    std::unordered_map<std::string_view, bool> added_special;
    for (const RuntimeAddedToken& token : ids.added) added_special.emplace(token.content, token.special);
    const std::string& unk = state.sections.model.unk_token;
    std::vector<PieceType> types(tokens_by_id.size(), PieceType::kNormal);
    for (std::size_t id = 0; id < tokens_by_id.size(); ++id) {
        std::string_view token = tokens_by_id[id];
        std::optional<PieceType> kept = known ? known(token) : std::nullopt;
        if (kept) types[id] = *kept;
        else if (!unk.empty() && token == unk) types[id] = PieceType::kUnknown;
        else if (auto added = added_special.find(token); added != added_special.end())
            types[id] = added->second ? PieceType::kControl : PieceType::kUserDefined;
        else if (byte_fallback && is_byte_token(token)) types[id] = PieceType::kByte;
    }
    return types;
}

}  // namespace vocarix
