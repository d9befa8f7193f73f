#include "formats/slow_tokenizer/merges_text.hpp"

#include "document/text.hpp"
#include "formats/format_error.hpp"

namespace vocarix::formats {

MergesText read_merges_text(std::string_view text, std::string_view file_name) {
    auto fail = [&](std::size_t line, const std::string& what) -> void {
        throw FormatError(std::string(file_name) + ": line " + std::to_string(line) + ": " + what);
    };
    if (std::size_t bad = find_invalid_utf8(text); bad != text.size())
        throw FormatError(std::string(file_name) + ": invalid UTF-8 at byte " + std::to_string(bad));
    MergesText result;
    MergesLayout& layout = result.layout;
    layout.header.reset();
    std::size_t first_break = text.find('\n');
    bool crlf = first_break != std::string_view::npos && first_break > 0 && text[first_break - 1] == '\r';
    layout.line_end = crlf ? "\r\n" : "\n";
    layout.final_line_end = text.empty() || text.back() == '\n';
    std::size_t line_number = 0;
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        bool last = end == std::string_view::npos;
        std::string_view line = text.substr(start, (last ? text.size() : end) - start);
        start = last ? text.size() : end + 1;
        ++line_number;
        if (crlf && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line_number == 1 && line.starts_with("#version")) {
            layout.header = std::string(line);
            continue;
        }
        std::size_t space = line.find(' ');
        if (space == std::string_view::npos || space == 0 || space + 1 == line.size() ||
            line.find(' ', space + 1) != std::string_view::npos || line.find('\r') != std::string_view::npos)
            fail(line_number, line.empty() ? "an empty line where a merge was expected"
                                           : debug_quoted(line) + " is not two parts joined by one space");
        result.merges.emplace_back(line.substr(0, space), line.substr(space + 1));
    }
    return result;
}

bool writable_merge_part(std::string_view part) {
    return !part.empty() && part.find_first_of(" \n\r") == std::string_view::npos;
}

std::string write_merges_text(const std::vector<std::pair<std::string_view, std::string_view>>& merges,
                              const MergesLayout& layout) {
    std::size_t size = layout.header ? layout.header->size() + 2 : 0;
    for (const auto& [left, right] : merges) size += left.size() + right.size() + 3;
    std::string out;
    out.reserve(size);
    std::size_t lines = merges.size() + (layout.header ? 1 : 0);
    std::size_t written = 0;
    auto end_line = [&] {
        if (++written < lines || layout.final_line_end) out += layout.line_end;
    };
    if (layout.header) {
        out += *layout.header;
        end_line();
    }
    for (const auto& [left, right] : merges) {
        out += left;
        out += ' ';
        out += right;
        end_line();
    }
    return out;
}

}  // namespace vocarix::formats
