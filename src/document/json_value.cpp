#include "document/json_value.hpp"

#include <algorithm>

namespace vocarix {

const JsonValue* JsonValue::find(std::string_view key) const {
    const JsonObject* object = as_object();
    if (!object) return nullptr;
    auto it = std::lower_bound(object->begin(), object->end(), key,
                               [](const JsonMember& m, std::string_view k) { return std::string_view(m.first) < k; });
    if (it == object->end() || it->first != key) return nullptr;
    return &it->second;
}

void normalize_object(JsonObject& members) {
    // A stable sort keeps repeated keys in input order; the last one of each run wins.
    std::stable_sort(members.begin(), members.end(),
                     [](const JsonMember& a, const JsonMember& b) { return a.first < b.first; });
    auto out = members.begin();
    for (auto it = members.begin(); it != members.end(); ++it) {
        auto next = it + 1;
        if (next != members.end() && next->first == it->first) continue;
        if (out != it) *out = std::move(*it);
        ++out;
    }
    members.erase(out, members.end());
}

}  // namespace vocarix
