// A model folder's JSON config files, read with the place of every value in
// the text, so that an edit replaces only the values it changes: key order,
// indentation, number forms and every other byte stay as the file had them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vocarix::folder {

struct ConfigNode {
    enum class Kind { kNull, kBool, kInteger, kNumber, kString, kArray, kObject };
    struct Member;

    Kind kind = Kind::kNull;
    // The value's text: [begin, end) in the file.
    std::size_t begin = 0;
    std::size_t end = 0;
    bool boolean = false;
    std::int64_t integer = 0;  // kInteger: an integral number that fits 64 signed bits
    std::string string;        // kString, decoded
    std::vector<ConfigNode> elements;
    std::vector<Member> members;  // in file order; a repeated key appears twice

    bool is_integer() const { return kind == Kind::kInteger; }
    bool is_object() const { return kind == Kind::kObject; }
    // The last member named `key` (the one a reader keeps), or null.
    const ConfigNode* find(std::string_view key) const;
};

struct ConfigNode::Member {
    std::string key;
    std::size_t key_begin = 0;  // the key's opening quote
    std::size_t key_end = 0;    // one past its closing quote
    ConfigNode value;
};

// One config file's text and its values. Throws ParseError ("... at line L
// column C") for text that is no JSON object.
class ConfigText {
public:
    ConfigText(std::string name, std::string text);

    const std::string& name() const { return name_; }
    const std::string& text() const { return text_; }
    const ConfigNode& root() const { return root_; }
    std::string_view text_of(const ConfigNode& node) const {
        return std::string_view(text_).substr(node.begin, node.end - node.begin);
    }

private:
    std::string name_;
    std::string text_;
    ConfigNode root_;
};

// Replacements of parts of one config text, applied in one pass. Parts must
// not overlap; an edit that writes the text already there is dropped, so a
// file whose values all stay is seen as unchanged.
class ConfigEdits {
public:
    explicit ConfigEdits(const ConfigText& config) : config_(&config) {}

    void replace(const ConfigNode& node, std::string text) { replace_span(node.begin, node.end, std::move(text)); }
    void replace_span(std::size_t begin, std::size_t end, std::string text);

    bool empty() const { return edits_.empty(); }
    std::size_t count() const { return edits_.size(); }
    std::string apply() const;

private:
    struct Edit {
        std::size_t begin, end;
        std::string text;
    };
    const ConfigText* config_;
    std::vector<Edit> edits_;
};

// An object's members rewritten: kept members in the given order, some with
// a new key, written with the separators and indentation the object had.
struct RekeyedMember {
    const ConfigNode::Member* member;
    std::string key;  // plain ASCII (a decimal id), written in quotes
};
std::string rewrite_members(const ConfigText& config, const ConfigNode& object, const std::vector<RekeyedMember>& members);

// The text that, inserted right after `member`'s value, adds the member
// `key` (plain ASCII) with the JSON text `value`, laid out as `member` is.
std::string member_after(const ConfigText& config, const ConfigNode::Member& member, std::string_view key,
                         std::string_view value);

// An array's elements rewritten as `texts`, with the separators and
// indentation the array had.
std::string rewrite_elements(const ConfigText& config, const ConfigNode& array, const std::vector<std::string>& texts);

}  // namespace vocarix::folder
