// What a chat template (Jinja text) writes literally: its text outside tags
// and the string literals inside {{ ... }} and {% ... %}, decoded, and the
// names its expressions use (bos_token, eos_token, messages, ...). Enough
// to find the special tokens a template names, without rendering it.
//
// The scan follows Jinja's lexing: {# ... #} comments are skipped, the
// whitespace controls ({{- -}} {%+ ...) are tags like any other, a string
// literal may hold "}}", {% raw %} ... {% endraw %} is text. A tag, comment
// or string that never ends is refused with its line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vocarix::formats {

struct TemplateScan {
    std::vector<std::string> texts;  // literal text, in template order
    std::vector<std::string> names;  // identifiers used in tags, each once, in order of first use
};

// FormatError "<where>: ..." for a template that does not lex.
TemplateScan scan_chat_template(std::string_view source, std::string_view where);

}  // namespace vocarix::formats
