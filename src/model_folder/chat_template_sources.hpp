// Where a model folder keeps its chat templates: tokenizer_config.json's
// "chat_template" (one template, or a list of {"name", "template"}),
// chat_template.jinja, and chat_template.json ({"chat_template": ...}, as
// processors save it).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model_folder/config_text.hpp"

namespace vocarix::folder {

inline constexpr std::string_view kChatTemplateJinjaFile = "chat_template.jinja";
inline constexpr std::string_view kChatTemplateJsonFile = "chat_template.json";

struct ChatTemplate {
    std::string file;
    std::string field;  // "chat_template", "chat_template[tool_use]"; empty for a .jinja file
    std::string source;
};

// The templates of the folder at `folder_path`, whose files `present` lists.
// FolderError for a chat_template.json that is no JSON object.
std::vector<ChatTemplate> read_chat_templates(const std::string& folder_path, const std::vector<std::string>& present,
                                              const std::optional<ConfigText>& tokenizer_config);

}  // namespace vocarix::folder
