#include "file_sets/settling.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "document/errors.hpp"
#include "document/file_descriptor.hpp"
#include "document/file_io.hpp"
#include "document/replacement_file.hpp"
#include "document/text.hpp"
#include "file_sets/journal_record.hpp"
#include "file_sets/new_file.hpp"

namespace vocarix::file_sets {
namespace {

constexpr std::string_view kPartialFolderMark = ".vocarix-partial-";

bool exists_unfollowed(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

[[noreturn]] void fail_completion(const std::string& directory, const std::string& why) {
    throw DocumentError("Failed to write: " + debug_quoted(directory),
                        "cannot complete the interrupted edit that " + std::string(kJournalName) + " records: " + why);
}

// Redoes the swaps a record lists: each new file still there is renamed over
// its target; one already renamed left its target holding it.
void complete_journal(const std::string& directory, const std::string& journal, Settlement& settled) {
    TextBuffer text = read_file(journal);
    std::vector<JournalEntry> entries = parse_journal(text.view(), journal);
    for (const JournalEntry& entry : entries) {
        std::string target = directory + "/" + entry.target;
        if (entry.new_file.empty()) {
            if (::unlink(target.c_str()) != 0 && errno != ENOENT) fail_completion(directory, std::strerror(errno));
        } else if (std::string made = directory + "/" + entry.new_file; exists_unfollowed(made)) {
            if (::rename(made.c_str(), target.c_str()) != 0) fail_completion(directory, std::strerror(errno));
        } else {
            struct stat info {};
            if (::lstat(target.c_str(), &info) != 0 || static_cast<std::uint64_t>(info.st_size) != entry.size)
                fail_completion(directory, entry.new_file + " is gone and " + entry.target + " is not what it held");
        }
        settled.completed.push_back(entry.target);
    }
    sync_directory(directory);
    if (::unlink(journal.c_str()) != 0) fail_completion(directory, std::strerror(errno));
    sync_directory(directory);
}

// The name a new file was made for: ".<target>.vocarix-new-XXXXXX" -> "<target>".
std::string target_of_new_file(const std::string& name, std::size_t mark) {
    return name.substr(1, mark > 0 ? mark - 1 : 0);
}

// Removes what writes that have ended left: new files and partial folders
// that no process holds.
void sweep(const std::string& directory, Settlement& settled) {
    DIR* listing = ::opendir(directory.c_str());
    if (!listing) return;
    std::vector<std::pair<std::string, bool>> candidates;  // name, is a partial folder
    while (const dirent* entry = ::readdir(listing)) {
        std::string name = entry->d_name;
        if (name.find(kNewFileMark) != std::string::npos) candidates.emplace_back(name, false);
        else if (name.find(kPartialFolderMark) != std::string::npos) candidates.emplace_back(name, true);
    }
    ::closedir(listing);
    std::sort(candidates.begin(), candidates.end());
    for (const auto& [name, folder] : candidates) {
        std::string path = directory + "/" + name;
        FileDescriptor handle(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | (folder ? O_DIRECTORY : 0)));
        if (handle.get() < 0 || !try_lock(handle.get())) continue;
        if (folder) {
            std::error_code error;
            std::filesystem::remove_all(path, error);
            if (!error) settled.leftovers_removed.push_back(name);
        } else if (::unlink(path.c_str()) == 0) {
            std::string target = target_of_new_file(name, name.find(kNewFileMark));
            if (target != kJournalName) settled.undone.push_back(target);
        }
    }
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
}

}  // namespace

Settlement settle_directory(const std::string& directory, const LockWait& wait) {
    Settlement settled;
    std::string journal = directory + "/" + std::string(kJournalName);
    if (exists_unfollowed(journal)) {
        EditLock lock = lock_directory(directory, wait);
        if (exists_unfollowed(journal)) complete_journal(directory, journal, settled);
    }
    sweep(directory, settled);
    return settled;
}

std::string describe_settlement(const Settlement& settled, const std::string& directory) {
    std::vector<std::string> parts;
    if (!settled.completed.empty())
        parts.push_back("completed an interrupted edit of " + directory + " (every new file was written whole): " +
                        joined(settled.completed));
    if (!settled.undone.empty())
        parts.push_back("undid an interrupted edit of " + directory + ", which had changed nothing yet: removed its "
                        "unfinished new " + (settled.undone.size() == 1 ? "file for " : "files for ") +
                        joined(settled.undone));
    if (!settled.leftovers_removed.empty())
        parts.push_back("removed the partial folder of an interrupted write in " + directory + ": " +
                        joined(settled.leftovers_removed));
    std::string line;
    for (const std::string& part : parts) line += (line.empty() ? "" : "; ") + part;
    return line;
}

std::string edit_directory_of(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return path;
    return directory_of(path);
}

}  // namespace vocarix::file_sets
