#include "model_folder/chat_template_sources.hpp"

#include <algorithm>

#include "document/errors.hpp"
#include "document/file_io.hpp"
#include "model_folder/folder_files.hpp"

namespace vocarix::folder {
namespace {

// A config's "chat_template": a string, or a list of {"name": ..., "template": ...}.
void templates_in(const ConfigText& config, std::vector<ChatTemplate>& templates) {
    const ConfigNode* value = config.root().find("chat_template");
    if (!value) return;
    if (value->kind == ConfigNode::Kind::kString) {
        templates.push_back({config.name(), "chat_template", value->string});
        return;
    }
    if (value->kind != ConfigNode::Kind::kArray) return;
    for (std::size_t i = 0; i < value->elements.size(); ++i) {
        const ConfigNode& entry = value->elements[i];
        if (!entry.is_object()) continue;
        const ConfigNode* name = entry.find("name");
        const ConfigNode* source = entry.find("template");
        if (!source || source->kind != ConfigNode::Kind::kString) continue;
        std::string label = name && name->kind == ConfigNode::Kind::kString ? name->string : std::to_string(i);
        templates.push_back({config.name(), "chat_template[" + label + "]", source->string});
    }
}

bool listed(const std::vector<std::string>& present, std::string_view name) {
    return std::find(present.begin(), present.end(), name) != present.end();
}

}  // namespace

std::vector<ChatTemplate> read_chat_templates(const std::string& folder_path, const std::vector<std::string>& present,
                                              const std::optional<ConfigText>& tokenizer_config) {
    std::vector<ChatTemplate> templates;
    if (tokenizer_config) templates_in(*tokenizer_config, templates);
    if (listed(present, kChatTemplateJinjaFile))
        templates.push_back({std::string(kChatTemplateJinjaFile), "",
                             std::string(read_file(folder_path + "/" + std::string(kChatTemplateJinjaFile)).view())});
    if (listed(present, kChatTemplateJsonFile)) {
        std::string text(read_file(folder_path + "/" + std::string(kChatTemplateJsonFile)).view());
        try {
            templates_in(ConfigText(std::string(kChatTemplateJsonFile), std::move(text)), templates);
        } catch (const ParseError& parse) {
            throw FolderError(std::string(kChatTemplateJsonFile) + ": not valid JSON: " + parse.what());
        }
    }
    return templates;
}

}  // namespace vocarix::folder
