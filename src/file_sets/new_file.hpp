// A new file beside the one it will replace, held under an exclusive flock
// for as long as its writer lives: a sweep of the directory
// (settle_directory) removes such a file only once nobody holds it, that is,
// once the process that was writing it has ended.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace vocarix::file_sets {

// What names a new file of a write: ".<target name>.vocarix-new-XXXXXX".
inline constexpr std::string_view kNewFileMark = ".vocarix-new-";

class NewFile {
public:
    // Creates ".<name>.vocarix-new-XXXXXX" beside `target`, with `mode`, or
    // else the permission bits of the file at `target` (links followed),
    // or else those a new file gets. DocumentError naming `target` on failure.
    explicit NewFile(std::string target, std::optional<mode_t> mode = std::nullopt);
    // Removes the file unless it was put in place.
    ~NewFile();
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    int fd() const { return fd_; }
    const std::string& path() const { return path_; }
    const std::string& target() const { return target_; }
    // Flushes the content to disk; returns the file's size. DocumentError naming the target.
    std::uint64_t flush();
    // Renames the file over its target (the directory is flushed by the caller).
    void put_in_place();
    // From now on the file is someone else's to remove (a journal names it).
    void keep() { kept_ = true; }

private:
    std::string target_;
    std::string path_;
    int fd_ = -1;
    bool kept_ = false;
};

// Flushes a directory's entries to disk; errors are ignored (some file systems refuse).
void sync_directory(const std::string& directory);

}  // namespace vocarix::file_sets
