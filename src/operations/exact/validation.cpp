#include "operations/exact/validation.hpp"

#include <algorithm>
#include <vector>

#include "document/text.hpp"

namespace vocarix {

ValidationResult validate_merges(const EditorState& state) {
    ValidationResult result;
    std::uint64_t position = 0;
    state.for_each_merge([&](SlotIndex s) {
        if (state.in_vocab(state.result_of(s))) {
            ++result.valid_count;
        } else {
            Merge merge = state.merge_at(s);
            result.invalid_merges.push_back(
                {position, std::string(state.text(merge.left)), std::string(state.text(merge.right))});
        }
        ++position;
    });
    result.invalid_count = result.invalid_merges.size();
    return result;
}

std::uint64_t remove_invalid_merges(EditorState& state) {
    std::vector<SlotIndex> invalid;
    state.for_each_merge([&](SlotIndex s) {
        if (!state.in_vocab(state.result_of(s))) invalid.push_back(s);
    });
    if (!invalid.empty()) state.erase_merges(invalid);
    return invalid.size();
}

}  // namespace vocarix
