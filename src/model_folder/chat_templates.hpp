// The special tokens a folder's chat templates name, which must each stay
// one token: an edit that removes one is refused unless forced, the
// workflows that choose what to remove spare them, and check reports one
// that the runtime would not read as one token. A template names a token
// where its literal text holds it in brackets: <...> or [...] that is a
// token, or <|...|> (also with full-width bars), the form chat tokens take,
// whether it is a token or not.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "model_folder/folder_check.hpp"
#include "model_folder/folder_files.hpp"
#include "state/editor_state.hpp"

namespace vocarix::folder {

struct TemplateToken {
    std::string token;
    const ChatTemplate* in;
};

// Every token the templates name (each once per template), given what the
// tokenizer holds as a token. Templates that do not lex name none.
std::vector<TemplateToken> template_tokens(const ModelFolder& folder,
                                           const std::function<bool(std::string_view)>& is_token);

// A token the folder's configs or chat templates name, which the workflows
// that choose what to remove spare.
struct NamedByFolder {
    std::string token;
    std::string file;
    std::string field;
};

// Every token of `tokenizer` that a config names as a special token or a
// chat template names, each once, configs first.
std::vector<NamedByFolder> tokens_named_by_folder(const ModelFolder& folder, const EditorState& tokenizer);

// The template's file and field, as problems and removals name it.
std::string template_field(const ChatTemplate& chat_template);

// Templates that do not lex, template tokens that are not one token to the
// runtime, and a padding token that is the token the template ends turns
// with (a warning).
std::vector<FolderProblem> check_chat_templates(const ModelFolder& folder, const EditorState& tokenizer);

}  // namespace vocarix::folder
