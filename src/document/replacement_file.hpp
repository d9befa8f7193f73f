// A file written beside the one it replaces and put in its place only when
// complete, so that the old file (or no file) stays whole until then.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

namespace vocarix {

// The name a temporary file gets beside `target`: ".<name><mark>XXXXXX"
// (mark ".vocarix-tmp-" by default), the name cut (at a character boundary)
// so the whole fits the directory's limit on name length.
std::string temporary_path_for(const std::string& target, std::string_view mark = ".vocarix-tmp-");

// Permission bits a newly created file gets: 0666 less the process umask.
mode_t new_file_mode();

// The directory part of `path` ("." for a bare name).
std::string directory_of(const std::string& path);

// The last component of `path`.
std::string file_name_of(const std::string& path);

// A temporary file beside `target`. Write through fd(); commit() flushes it
// to disk, renames it over `target` and flushes the directory. Destroying it
// uncommitted removes the temporary file: a failure anywhere leaves the
// target as it was. Failures throw std::system_error with the errno.
class ReplacementFile {
public:
    // Creates the temporary file with the mode and owner of `existing` (the
    // file being replaced) when given, or the mode a new file gets.
    explicit ReplacementFile(std::string target, const struct stat* existing = nullptr);
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    int fd() const { return fd_; }
    const std::string& target() const { return target_; }
    const std::string& temporary_path() const { return temporary_; }
    void commit();

private:
    std::string target_;
    std::string temporary_;
    int fd_ = -1;
    bool committed_ = false;
};

}  // namespace vocarix
