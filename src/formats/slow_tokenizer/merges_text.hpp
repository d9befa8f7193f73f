// merges.txt, the slow tokenizer's merge list: an optional header line
// ("#version: 0.2"), then one merge per line, its two parts separated by
// one space, in rank order. Read strictly (a line that is not two parts
// joined by one space is refused with its number) and written back with the
// header, the line ends and the final line end the file had.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vocarix::formats {

struct MergesLayout {
    // The first line when it starts with "#version", without its line end.
    std::optional<std::string> header = "#version: 0.2";
    std::string line_end = "\n";
    // Whether the last line ends with a line end too.
    bool final_line_end = true;
};

struct MergesText {
    std::vector<std::pair<std::string_view, std::string_view>> merges;  // views into the text read
    MergesLayout layout;
};

// FormatError "<file_name>: line N: ..." for a line that is no merge. The
// merges view `text`, which must outlive them.
MergesText read_merges_text(std::string_view text, std::string_view file_name);

// Whether a part can be written on a merges.txt line: not empty, no space
// and no line break (the readers split each line at its space).
bool writable_merge_part(std::string_view part);

// The merges as text in `layout`; every part must be writable.
std::string write_merges_text(const std::vector<std::pair<std::string_view, std::string_view>>& merges,
                              const MergesLayout& layout);

}  // namespace vocarix::formats
