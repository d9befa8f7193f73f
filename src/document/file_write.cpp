// Saving: where a path leads, and writing there without ever leaving a
// half-written regular file in place of a whole one.
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <optional>
#include <string>
#include <system_error>

#include "document/errors.hpp"
#include "document/file_descriptor.hpp"
#include "document/file_io.hpp"
#include "document/replacement_file.hpp"
#include "document/text.hpp"

namespace vocarix {
namespace {

// As many symbolic links as the system follows for one path.
constexpr int kMaxSymlinkHops = 40;

// A failed system call, carried out of the helpers with its errno.
struct SaveFailure {
    int error;
};

// Writes all of `text`; returns 0 or the errno of the failing write. A
// descriptor left non-blocking by its owner is waited on rather than failed.
int write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                struct pollfd wait_for {fd, POLLOUT, 0};
                ::poll(&wait_for, 1, -1);
                continue;
            }
            return errno;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

bool is_digits(std::string_view s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

// The number of the descriptor that `path` names when it is an entry of this
// process's own descriptor directory (/proc/self/fd/N, /dev/fd/N,
// /proc/<own pid>/task/<tid>/fd/N, ...), or -1. Opening such a path would
// open the file anew, losing the descriptor's offset and append mode.
int own_descriptor_named(const std::string& path) {
    std::string name = file_name_of(path);
    if (!is_digits(name) || (name.size() > 1 && name[0] == '0')) return -1;
    int fd = -1;
    if (std::from_chars(name.data(), name.data() + name.size(), fd).ec != std::errc{}) return -1;
    char resolved[PATH_MAX];
    if (!::realpath(directory_of(path).c_str(), resolved)) return -1;
    std::string own = "/proc/" + std::to_string(::getpid());
    std::string_view directory = resolved;
    if (!directory.starts_with(own)) return -1;
    directory.remove_prefix(own.size());
    if (directory == "/fd") return fd;
    constexpr std::string_view kTask = "/task/", kFd = "/fd";
    if (directory.starts_with(kTask) && directory.ends_with(kFd) && directory.size() > kTask.size() + kFd.size() &&
        is_digits(directory.substr(kTask.size(), directory.size() - kTask.size() - kFd.size())))
        return fd;
    return -1;
}

// Where a save goes once symbolic links are followed: a descriptor of this
// process, a path where nothing is yet, or an existing file (not a link).
struct SaveTarget {
    enum class Kind { kDescriptor, kMissing, kExisting };
    Kind kind;
    std::string path;
    int descriptor = -1;
    struct stat info {};
};

// Follows links one at a time, so that a link into the descriptor directory
// (/dev/stdout) is seen as such, and a save through a link replaces the
// link's target and keeps the link. Throws SaveFailure.
SaveTarget resolve_save_target(const std::string& path) {
    std::string current = path;
    for (int hops = 0;; ++hops) {
        if (int fd = own_descriptor_named(current); fd >= 0) return {SaveTarget::Kind::kDescriptor, current, fd};
        SaveTarget target{SaveTarget::Kind::kExisting, current};
        if (::lstat(current.c_str(), &target.info) != 0) {
            if (errno == ENOENT) return {SaveTarget::Kind::kMissing, current};
            throw SaveFailure{errno};
        }
        if (!S_ISLNK(target.info.st_mode)) return target;
        if (hops == kMaxSymlinkHops) throw SaveFailure{ELOOP};
        std::string link(static_cast<std::size_t>(target.info.st_size > 0 ? target.info.st_size : PATH_MAX) + 1, '\0');
        ssize_t n = ::readlink(current.c_str(), link.data(), link.size());
        if (n < 0) throw SaveFailure{errno};
        if (static_cast<std::size_t>(n) >= link.size()) throw SaveFailure{ENAMETOOLONG};
        link.resize(static_cast<std::size_t>(n));
        current = link.front() == '/' ? link : directory_of(current) + "/" + link;
    }
}

// A failed write, carried out of the text producer so it stops early.
struct WriteFailed {
    int error;
};

// Writes the produced text to a temporary file beside `target` as it comes,
// flushes it to disk and renames it over the target, so the old file stays
// whole until the new one is complete. Returns false, having written
// nothing, when the directory does not let this process create the file.
bool replace_atomically(const SaveTarget& target, const TextProducer& produce) {
    std::optional<ReplacementFile> file;
    try {
        file.emplace(target.path, target.kind == SaveTarget::Kind::kExisting ? &target.info : nullptr);
    } catch (const std::system_error& failure) {
        if (failure.code().value() == EACCES || failure.code().value() == EPERM) return false;
        throw SaveFailure{failure.code().value()};
    }
    int fd = file->fd();
    try {
        off_t written = 0;
        produce([fd, &written](std::string_view piece) {
            if (int failed = write_all(fd, piece)) throw WriteFailed{failed};
#if defined(__linux__)
            // Start writing this piece to disk while the next one is made;
            // the flush at the end then has less left to wait for.
            ::sync_file_range(fd, written, static_cast<off_t>(piece.size()), SYNC_FILE_RANGE_WRITE);
#endif
            written += static_cast<off_t>(piece.size());
        });
        file->commit();
    } catch (const WriteFailed& failed) {
        throw SaveFailure{failed.error};
    } catch (const std::system_error& failure) {
        throw SaveFailure{failure.code().value()};
    }
    return true;
}

std::string whole_text(const TextProducer& produce) {
    std::string text;
    produce([&text](std::string_view piece) { text.append(piece); });
    return text;
}

// Writes through a descriptor of this process as it is open: at its offset,
// appending if it appends; the descriptor stays open.
void write_to_descriptor(int fd, const TextProducer& produce) {
    std::string text = whole_text(produce);
    if (int error = write_all(fd, text)) throw SaveFailure{error};
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ::fdatasync(fd) != 0) throw SaveFailure{errno};
}

// Rewrites the file itself: for pipes and devices, for files with several
// names (which a rename would split), and for files in a directory that
// refuses new files. The whole text is made before the file is touched.
void rewrite_in_place(const std::string& path, const TextProducer& produce) {
    std::string text = whole_text(produce);
    FileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (file.get() < 0) throw SaveFailure{errno};
    if (int error = write_all(file.get(), text)) throw SaveFailure{error};
    if (::close(file.release()) != 0) throw SaveFailure{errno};
}

}  // namespace

void write_produced(int fd, const TextProducer& produce, const std::string& path) {
    off_t written = 0;
    try {
        produce([fd, &written](std::string_view piece) {
            if (int failed = write_all(fd, piece)) throw WriteFailed{failed};
            // Start writing this piece to disk while the next one is made.
            ::sync_file_range(fd, written, static_cast<off_t>(piece.size()), SYNC_FILE_RANGE_WRITE);
            written += static_cast<off_t>(piece.size());
        });
    } catch (const WriteFailed& failed) {
        throw DocumentError("Failed to write: " + debug_quoted(path), std::strerror(failed.error));
    }
}

void write_file(const std::string& path, const TextProducer& produce) {
    try {
        if (path.empty()) throw SaveFailure{ENOENT};
        if (path.find('\0') != std::string::npos) throw SaveFailure{EINVAL};
        SaveTarget target = resolve_save_target(path);
        switch (target.kind) {
            case SaveTarget::Kind::kDescriptor:
                write_to_descriptor(target.descriptor, produce);
                return;
            case SaveTarget::Kind::kMissing:
                if (!replace_atomically(target, produce)) throw SaveFailure{EACCES};
                return;
            case SaveTarget::Kind::kExisting:
                if (S_ISREG(target.info.st_mode) && target.info.st_nlink == 1 && replace_atomically(target, produce))
                    return;
                rewrite_in_place(target.path, produce);
                return;
        }
    } catch (const SaveFailure& failure) {
        throw DocumentError("Failed to write: " + debug_quoted(path), std::strerror(failure.error));
    }
}

}  // namespace vocarix
