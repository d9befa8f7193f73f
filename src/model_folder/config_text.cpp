#include "model_folder/config_text.hpp"

#include <algorithm>
#include <stdexcept>
#include <variant>

#include "document/errors.hpp"
#include "document/json_cursor.hpp"

namespace vocarix::folder {
namespace {

using NodeKind = ConfigNode::Kind;

// Reads values with their places. Configs are written by Python's json
// module, which also writes NaN, Infinity and -Infinity: they are read as
// numbers and never changed.
class PlacedCursor : public JsonCursor {
public:
    using JsonCursor::JsonCursor;

    ConfigNode document() {
        ConfigNode root = value(0);
        if (root.kind != NodeKind::kObject) throw ParseError("the file is no JSON object");
        expect_end();
        return root;
    }

private:
    std::size_t offset() const { return static_cast<std::size_t>(p_ - begin_); }

    ConfigNode value(int depth) {
        skip_ws();
        if (at_end()) fail_eof("EOF while parsing a value");
        ConfigNode node;
        node.begin = offset();
        switch (peek()) {
            case '{':
                enter(depth);
                object(node, depth);
                break;
            case '[':
                enter(depth);
                node.kind = NodeKind::kArray;
                for_each_element([&](std::size_t) { node.elements.push_back(value(depth + 1)); });
                break;
            case '"':
                node.kind = NodeKind::kString;
                node.string = std::string(parse_string());
                break;
            case 't':
            case 'f':
                node.kind = NodeKind::kBool;
                node.boolean = peek() == 't';
                parse_literal(node.boolean ? "true" : "false");
                break;
            case 'n':
                parse_literal("null");
                break;
            case 'N':
                node.kind = NodeKind::kNumber;
                parse_literal("NaN");
                break;
            case 'I':
                node.kind = NodeKind::kNumber;
                parse_literal("Infinity");
                break;
            default:
                if (peek() == '-' && end_ - p_ > 1 && p_[1] == 'I') {
                    node.kind = NodeKind::kNumber;
                    parse_literal("-Infinity");
                } else if (peek() == '-' || (peek() >= '0' && peek() <= '9')) {
                    number(node);
                } else {
                    fail("expected value", p_ + 1);
                }
        }
        node.end = offset();
        return node;
    }

    void number(ConfigNode& node) {
        JsonValue number = number_value(scan_number());
        node.kind = NodeKind::kNumber;
        if (auto* i = std::get_if<std::int64_t>(&number.data)) {
            node.kind = NodeKind::kInteger;
            node.integer = *i;
        } else if (auto* u = std::get_if<std::uint64_t>(&number.data); u && *u <= INT64_MAX) {
            node.kind = NodeKind::kInteger;
            node.integer = static_cast<std::int64_t>(*u);
        }
    }

    void object(ConfigNode& node, int depth) {
        node.kind = NodeKind::kObject;
        for_each_placed_member([&](std::string_view key, const char* key_start) {
            ConfigNode::Member member;
            member.key_begin = static_cast<std::size_t>(key_start - begin_);
            member.key_end = offset();
            member.key = std::string(key);
            skip_ws();
            if (at_end()) fail_eof("EOF while parsing an object");
            if (peek() != ':') fail("expected `:`", p_ + 1);
            ++p_;
            member.value = value(depth + 1);
            node.members.push_back(std::move(member));
        });
    }
};

}  // namespace

const ConfigNode* ConfigNode::find(std::string_view key) const {
    for (auto it = members.rbegin(); it != members.rend(); ++it)
        if (it->key == key) return &it->value;
    return nullptr;
}

ConfigText::ConfigText(std::string name, std::string text) : name_(std::move(name)), text_(std::move(text)) {
    std::string_view view = text_;
    // A byte-order mark is not JSON, but editors write one now and then.
    if (view.starts_with("\xEF\xBB\xBF")) view.remove_prefix(3);
    PlacedCursor cursor(view);
    root_ = cursor.document();
    if (view.size() != text_.size()) {
        // Places count from the start of the file, mark included.
        std::size_t shift = text_.size() - view.size();
        auto move = [shift](auto& self, ConfigNode& node) -> void {
            node.begin += shift;
            node.end += shift;
            for (ConfigNode& element : node.elements) self(self, element);
            for (ConfigNode::Member& member : node.members) {
                member.key_begin += shift;
                member.key_end += shift;
                self(self, member.value);
            }
        };
        move(move, root_);
    }
}

void ConfigEdits::replace_span(std::size_t begin, std::size_t end, std::string text) {
    if (config_->text().compare(begin, end - begin, text) == 0) return;
    edits_.push_back({begin, end, std::move(text)});
}

std::string member_after(const ConfigText& config, const ConfigNode::Member& member, std::string_view key,
                         std::string_view value) {
    const std::string& text = config.text();
    // What stands before the member's key after the comma or brace: its line break and indent.
    std::size_t lead = member.key_begin;
    while (lead > 0 && (text[lead - 1] == ' ' || text[lead - 1] == '\t' || text[lead - 1] == '\n' || text[lead - 1] == '\r'))
        --lead;
    std::string out = ",";
    out.append(text, lead, member.key_begin - lead);
    out += '"';
    out += key;
    out += '"';
    out.append(text, member.key_end, member.value.begin - member.key_end);
    out += value;
    return out;
}

std::string ConfigEdits::apply() const {
    std::vector<const Edit*> order;
    for (const Edit& edit : edits_) order.push_back(&edit);
    std::sort(order.begin(), order.end(), [](const Edit* a, const Edit* b) { return a->begin < b->begin; });
    const std::string& text = config_->text();
    std::string out;
    out.reserve(text.size() + 64);
    std::size_t at = 0;
    for (const Edit* edit : order) {
        if (edit->begin < at) throw std::logic_error("overlapping edits of " + config_->name());
        out.append(text, at, edit->begin - at);
        out += edit->text;
        at = edit->end;
    }
    out.append(text, at, std::string::npos);
    return out;
}

namespace {

// What opens the first of a container's parts, stands between two, and
// closes the last, as the container had them (a container of one part shows
// no "between": a comma and the opening stand in).
struct Layout {
    std::string opening, between, closing;
};

Layout layout_of(const std::string& text, const ConfigNode& container, const std::vector<std::size_t>& starts,
                 const std::vector<std::size_t>& ends) {
    Layout layout{" ", ", ", " "};
    if (starts.empty()) return layout;
    layout.opening = text.substr(container.begin + 1, starts.front() - container.begin - 1);
    layout.closing = text.substr(ends.back(), container.end - 1 - ends.back());
    layout.between = starts.size() > 1 ? text.substr(ends[0], starts[1] - ends[0]) : "," + layout.opening;
    return layout;
}

}  // namespace

std::string rewrite_members(const ConfigText& config, const ConfigNode& object,
                            const std::vector<RekeyedMember>& members) {
    if (members.empty()) return "{}";
    const std::string& text = config.text();
    std::vector<std::size_t> starts, ends;
    for (const ConfigNode::Member& member : object.members) {
        starts.push_back(member.key_begin);
        ends.push_back(member.value.end);
    }
    Layout layout = layout_of(text, object, starts, ends);
    std::string out = "{" + layout.opening;
    for (std::size_t i = 0; i < members.size(); ++i) {
        const ConfigNode::Member& member = *members[i].member;
        if (i) out += layout.between;
        out += '"' + members[i].key + '"';
        // From the key to the end of the value: ": " and the value as written.
        out.append(text, member.key_end, member.value.end - member.key_end);
    }
    return out + layout.closing + "}";
}

std::string rewrite_elements(const ConfigText& config, const ConfigNode& array, const std::vector<std::string>& texts) {
    if (texts.empty()) return "[]";
    std::vector<std::size_t> starts, ends;
    for (const ConfigNode& element : array.elements) {
        starts.push_back(element.begin);
        ends.push_back(element.end);
    }
    Layout layout = layout_of(config.text(), array, starts, ends);
    std::string out = "[" + layout.opening;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (i) out += layout.between;
        out += texts[i];
    }
    return out + layout.closing + "]";
}

}  // namespace vocarix::folder
