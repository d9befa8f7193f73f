#include "model_folder/chat_templates.hpp"

#include <algorithm>
#include <optional>
#include <set>

#include "analysis/pre_token_check.hpp"
#include "analysis/runtime_ids.hpp"
#include "analysis/segmentation.hpp"
#include "document/text.hpp"
#include "formats/chat_template/template_scan.hpp"
#include "formats/format_error.hpp"
#include "model_folder/token_fields.hpp"

namespace vocarix::folder {
namespace {

constexpr std::size_t kLongestBracketed = 96;

bool is_blank(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// Text in <...> or [...]: short, no whitespace, no opening mark inside.
std::vector<std::string_view> bracketed_spans(std::string_view text) {
    std::vector<std::string_view> spans;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char open = text[i];
        if (open != '<' && open != '[') continue;
        char close = open == '<' ? '>' : ']';
        for (std::size_t j = i + 1; j < text.size() && j - i < kLongestBracketed; ++j) {
            if (text[j] == open || is_blank(text[j])) break;
            if (text[j] == close) {
                if (j > i + 1) spans.push_back(text.substr(i, j - i + 1));
                break;
            }
        }
    }
    return spans;
}

// <|...|>, and <｜...｜> with full-width bars: the form chat tokens take.
bool chat_token_shape(std::string_view span) {
    for (std::string_view bar : {std::string_view("|"), std::string_view("\xEF\xBD\x9C")})
        if (span.size() > 2 + 2 * bar.size() && span.substr(1, bar.size()) == bar &&
            span.substr(span.size() - 1 - bar.size(), bar.size()) == bar)
            return true;
    return false;
}

std::optional<formats::TemplateScan> scanned(const ChatTemplate& chat_template) {
    try {
        return formats::scan_chat_template(chat_template.source, template_field(chat_template));
    } catch (const formats::FormatError&) {
        return std::nullopt;
    }
}

}  // namespace

std::vector<NamedByFolder> tokens_named_by_folder(const ModelFolder& folder, const EditorState& tokenizer) {
    RuntimeIdLookup ids(tokenizer);
    auto is_token = [&ids](std::string_view token) { return ids.id_of(token).has_value(); };
    std::vector<NamedByFolder> named;
    std::set<std::string> seen;
    for (const NamedToken& token : named_tokens(folder))
        if (is_token(token.content) && seen.insert(token.content).second)
            named.push_back({token.content, token.config->name(), token.field});
    for (const TemplateToken& token : template_tokens(folder, is_token))
        if (is_token(token.token) && seen.insert(token.token).second)
            named.push_back({token.token, token.in->file, token.in->field});
    return named;
}

std::string template_field(const ChatTemplate& chat_template) {
    return chat_template.field.empty() ? chat_template.file : chat_template.file + " " + chat_template.field;
}

std::vector<TemplateToken> template_tokens(const ModelFolder& folder,
                                           const std::function<bool(std::string_view)>& is_token) {
    std::vector<TemplateToken> tokens;
    for (const ChatTemplate& chat_template : folder.chat_templates) {
        std::optional<formats::TemplateScan> scan = scanned(chat_template);
        if (!scan) continue;
        std::set<std::string_view> seen;
        for (const std::string& text : scan->texts)
            for (std::string_view span : bracketed_spans(text))
                if ((chat_token_shape(span) || is_token(span)) && seen.insert(span).second)
                    tokens.push_back({std::string(span), &chat_template});
    }
    return tokens;
}

namespace {

class TemplateChecker {
public:
    TemplateChecker(const ModelFolder& folder, const EditorState& tokenizer)
        : folder_(folder), tokenizer_(tokenizer), ids_(tokenizer), segmenter_(tokenizer), pre_tokens_(tokenizer) {
        for (const RuntimeAddedToken& token : ids_.added()) added_.insert(token.content);
    }

    std::vector<FolderProblem> run() {
        for (const ChatTemplate& chat_template : folder_.chat_templates) {
            try {
                formats::scan_chat_template(chat_template.source, template_field(chat_template));
            } catch (const formats::FormatError& error) {
                problems_.push_back({chat_template.file, chat_template.field, std::string("cannot be read: ") + error.what(), false});
            }
        }
        auto is_token = [this](std::string_view token) { return ids_.id_of(token).has_value(); };
        for (const TemplateToken& named : template_tokens(folder_, is_token)) {
            std::string why = not_one_token(named.token);
            if (!why.empty()) problems_.push_back({named.in->file, named.in->field, debug_quoted(named.token) + " " + why, false});
        }
        padding_is_end_of_turn();
        return std::move(problems_);
    }

private:
    // Why the runtime does not read the token's text as the one token; "" when it does.
    std::string not_one_token(const std::string& token) {
        if (added_.count(token)) return "";
        if (!ids_.id_of(token))
            return "is named by the chat template but is no token of tokenizer.json: a prompt holds it as several tokens";
        if (pre_tokens_.check(token) == PreTokenVerdict::kSplit)
            return "is named by the chat template but is no added token, and the pre-tokenizer splits its text";
        Segmentation split = segmenter_.segment(token);
        if (split.pieces.size() == 1 && tokenizer_.text(split.pieces.front()) == token) return "";
        return "is named by the chat template but is no added token, and the model splits its text into " +
               std::to_string(split.pieces.size()) + " pieces";
    }

    // A padding token that is the end-of-sequence token the template ends turns with.
    void padding_is_end_of_turn() {
        std::vector<NamedToken> named = named_tokens(folder_);
        std::map<std::string, std::string> roles = tokens_by_role(named);
        std::optional<std::string> end_of_turn;
        std::string where;
        auto eos = roles.find("eos"), pad = roles.find("pad");
        if (eos != roles.end() && pad != roles.end() && eos->second == pad->second) {
            end_of_turn = eos->second;
            where = "pad_token";
        }
        std::vector<std::int64_t> eos_ids, pad_ids;
        std::string pad_field, pad_file;
        for (const IdField& field : id_fields(folder_)) {
            std::vector<std::int64_t>& into = field.role == "eos" ? eos_ids : pad_ids;
            if (field.role != "eos" && field.role != "pad") continue;
            if (field.role == "pad" && pad_field.empty()) {
                pad_field = field.field;
                pad_file = field.config->name();
            }
            if (field.value->is_integer()) into.push_back(field.value->integer);
            for (const ConfigNode& element : field.value->elements) into.push_back(element.integer);
        }
        std::string file = folder_.tokenizer_config ? folder_.tokenizer_config->name() : "";
        for (std::int64_t id : pad_ids) {
            if (id < 0 || id > UINT32_MAX || std::find(eos_ids.begin(), eos_ids.end(), id) == eos_ids.end() || end_of_turn)
                continue;
            end_of_turn = token_with_id(static_cast<std::uint32_t>(id));
            where = pad_field;
            file = pad_file;
        }
        if (!end_of_turn || !template_ends_turns_with(*end_of_turn, eos != roles.end() && eos->second == *end_of_turn)) return;
        problems_.push_back({file, where,
                             "the padding token is the end-of-sequence token " + debug_quoted(*end_of_turn) +
                                 ", which the chat template ends every turn with: training that leaves padding out of "
                                 "the loss leaves the ends of turns out too, and the model learns never to stop "
                                 "(give the padding a token of its own)",
                             false, true});
    }

    // The token the runtime gives `id`, if any.
    std::optional<std::string> token_with_id(std::uint32_t id) const {
        if (Symbol sym = tokenizer_.token_by_id(id); sym != kNoSymbol) return std::string(tokenizer_.text(sym));
        for (const RuntimeAddedToken& token : ids_.added())
            if (token.runtime_id == id) return token.content;
        return std::nullopt;
    }

    bool template_ends_turns_with(const std::string& token, bool is_eos_token) const {
        for (const ChatTemplate& chat_template : folder_.chat_templates) {
            std::optional<formats::TemplateScan> scan = scanned(chat_template);
            if (!scan) continue;
            if (is_eos_token && std::find(scan->names.begin(), scan->names.end(), "eos_token") != scan->names.end())
                return true;
            for (const std::string& text : scan->texts)
                if (text.find(token) != std::string::npos) return true;
        }
        return false;
    }

    const ModelFolder& folder_;
    const EditorState& tokenizer_;
    RuntimeIdLookup ids_;
    Segmenter segmenter_;
    PreTokenCheck pre_tokens_;
    std::set<std::string> added_;
    std::vector<FolderProblem> problems_;
};

}  // namespace

std::vector<FolderProblem> check_chat_templates(const ModelFolder& folder, const EditorState& tokenizer) {
    if (folder.chat_templates.empty()) return {};
    return TemplateChecker(folder, tokenizer).run();
}

}  // namespace vocarix::folder
