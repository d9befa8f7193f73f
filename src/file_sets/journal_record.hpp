// The record of the swaps an in-place write is about to make, written whole
// (to a new file renamed into place) before the first swap and removed after
// the last. While it exists, every new file it names is complete on disk,
// so an interrupted write is finished from it.
//
// Text, one line per swap, names percent-encoded so that any name fits:
//
//   vocarix edit journal 1
//   rename .config.json.vocarix-new-Ab12Cd config.json 1834
//   remove merges.txt
//   end
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vocarix::file_sets {

// Its name in the directory it is the record of.
inline constexpr std::string_view kJournalName = ".vocarix-edit-journal";

struct JournalEntry {
    std::string target;     // a name in the directory
    std::string new_file;   // the new file to rename over it; empty: remove the target
    std::uint64_t size = 0;  // the new file's size
};

std::string journal_text(const std::vector<JournalEntry>& entries);

// DocumentError naming `path` for text that is not a whole record.
std::vector<JournalEntry> parse_journal(std::string_view text, const std::string& path);

}  // namespace vocarix::file_sets
