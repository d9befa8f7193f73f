// Opaque JSON values: the document sections that the editor carries through
// without interpreting them. Objects keep their members sorted by key bytes,
// and a key given twice keeps its last value.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace vocarix {

struct JsonValue;
using JsonArray = std::vector<JsonValue>;
using JsonMember = std::pair<std::string, JsonValue>;
using JsonObject = std::vector<JsonMember>;  // sorted by key, keys unique

struct JsonValue {
    // Integers that fit in 64 bits are held exactly; every other number is a double.
    std::variant<std::nullptr_t, bool, std::int64_t, std::uint64_t, double, std::string, JsonArray, JsonObject>
        data = nullptr;

    const JsonObject* as_object() const { return std::get_if<JsonObject>(&data); }
    const JsonValue* find(std::string_view key) const;  // object member lookup
    // A member's string or bool, when the member holds one.
    const std::string* find_string(std::string_view key) const {
        const JsonValue* member = find(key);
        return member ? std::get_if<std::string>(&member->data) : nullptr;
    }
    bool find_bool(std::string_view key, bool fallback) const {
        const JsonValue* member = find(key);
        const bool* flag = member ? std::get_if<bool>(&member->data) : nullptr;
        return flag ? *flag : fallback;
    }
};

// Sorts `members` by key bytes and keeps the last value of each repeated key.
void normalize_object(JsonObject& members);

}  // namespace vocarix
