#include "file_sets/new_file.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "document/errors.hpp"
#include "document/file_descriptor.hpp"
#include "document/replacement_file.hpp"
#include "document/text.hpp"
#include "file_sets/edit_lock.hpp"

namespace vocarix::file_sets {
namespace {

// A sweep may take a file between its creation and its lock; that many tries
// at a file that stays ours.
constexpr int kCreateTries = 8;

[[noreturn]] void fail_new_file(const std::string& target, int error) {
    throw DocumentError("Failed to write: " + debug_quoted(target), std::strerror(error));
}

bool still_named(int fd, const std::string& path) {
    struct stat open_file {}, named {};
    return ::fstat(fd, &open_file) == 0 && ::lstat(path.c_str(), &named) == 0 && open_file.st_ino == named.st_ino &&
           open_file.st_dev == named.st_dev;
}

}  // namespace

void sync_directory(const std::string& directory) {
    FileDescriptor handle(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (handle.get() >= 0) ::fsync(handle.get());
}

NewFile::NewFile(std::string target, std::optional<mode_t> mode) : target_(std::move(target)) {
    struct stat existing {};
    bool replaces = ::stat(target_.c_str(), &existing) == 0 && S_ISREG(existing.st_mode);
    for (int attempt = 0; attempt < kCreateTries; ++attempt) {
        path_ = temporary_path_for(target_, kNewFileMark);
        fd_ = ::mkostemp(path_.data(), O_CLOEXEC);
        if (fd_ < 0)
            // Without a new file beside it, the file could only be rewritten in its place, not replaced whole.
            throw DocumentError("Failed to write: " + debug_quoted(target_),
                                "cannot create a new file beside it (" + std::string(std::strerror(errno)) +
                                    "), and a file is only ever replaced whole");
        try_lock(fd_);
        if (still_named(fd_, path_)) break;
        ::close(std::exchange(fd_, -1));
    }
    if (fd_ < 0) fail_new_file(target_, EAGAIN);
    ::fchmod(fd_, mode ? *mode : replaces ? existing.st_mode & 07777 : new_file_mode());
    if (replaces && !mode && ::fchown(fd_, existing.st_uid, existing.st_gid) != 0) {
        // Only privileged processes may give a file away; the mode still matches.
    }
}

NewFile::~NewFile() {
    if (!kept_) ::unlink(path_.c_str());
    if (fd_ >= 0) ::close(fd_);
}

std::uint64_t NewFile::flush() {
    struct stat info {};
    if (::fdatasync(fd_) != 0 || ::fstat(fd_, &info) != 0) fail_new_file(target_, errno);
    return static_cast<std::uint64_t>(info.st_size);
}

void NewFile::put_in_place() {
    if (::rename(path_.c_str(), target_.c_str()) != 0) fail_new_file(target_, errno);
    kept_ = true;
}

}  // namespace vocarix::file_sets
