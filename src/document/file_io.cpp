#include "document/file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "document/errors.hpp"
#include "document/text.hpp"

namespace vocarix {
namespace {

std::string system_error_text(int error) { return std::strerror(error); }

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

}  // namespace

TextBuffer read_file(const std::string& path) {
    auto failure = [&](int error) { return DocumentError("Failed to read: " + debug_quoted(path), system_error_text(error)); };
    if (path.find('\0') != std::string::npos) throw failure(EINVAL);
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) throw failure(errno);
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) throw failure(errno);
    // One byte of room beyond the size shows end of file without another grow.
    TextBuffer buffer(S_ISREG(info.st_mode) ? static_cast<std::size_t>(info.st_size) + 1 : 0);
    for (std::size_t size = 0;;) {
        if (size == buffer.capacity()) buffer.grow(2 * size);
        ssize_t n = ::read(file.get(), buffer.data() + size, buffer.capacity() - size);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw failure(errno);
        }
        if (n == 0) break;
        size += static_cast<std::size_t>(n);
        buffer.set_size(size);
    }
    return buffer;
}

namespace {

// Writes all of `text`; returns 0 or the errno of the failing write.
int write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return 0;
}

std::string directory_of(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// The file a path finally names once symbolic links are followed, so that a
// save through a link replaces the link's target and keeps the link.
std::string follow_links(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
        std::string target(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 255) + 1, '\0');
        ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n < 0 || static_cast<std::size_t>(n) >= target.size()) return path;
        target.resize(static_cast<std::size_t>(n));
        path = target.front() == '/' ? target : directory_of(path) + "/" + target;
    }
    return path;
}

// Permission bits a newly created file gets: 0666 less the process umask.
mode_t new_file_mode() {
    mode_t mask = 022;
    if (FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        while (std::fgets(line, sizeof line, status))
            if (std::sscanf(line, "Umask: %o", &mask) == 1) break;
        std::fclose(status);
    }
    return 0666 & ~mask;
}

// A failed write, carried out of the text producer so it stops early.
struct WriteFailed {
    int error;
};

// Writes the produced text to a temporary file beside `target` as it comes,
// flushes it to disk and renames it over the target, so the old file stays
// whole until the new one is complete. Returns false when no temporary file
// can be made there.
bool replace_atomically(const std::string& target, const struct stat* existing, const TextProducer& produce,
                        int& error) {
    std::string name = target.substr(target.rfind('/') == std::string::npos ? 0 : target.rfind('/') + 1);
    std::string temp = directory_of(target) + "/." + name + ".tmp-XXXXXX";
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) return false;
    FileDescriptor file(fd);
    if (existing) {
        ::fchmod(fd, existing->st_mode & 07777);
        if (::fchown(fd, existing->st_uid, existing->st_gid) != 0) {
            // Only privileged processes may give a file away; the mode still matches.
        }
    } else {
        ::fchmod(fd, new_file_mode());
    }
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
    } catch (const WriteFailed& failed) {
        error = failed.error;
    } catch (...) {
        ::unlink(temp.c_str());
        throw;
    }
    if (error == 0 && ::fdatasync(fd) != 0) error = errno;
    if (::close(file.release()) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temp.c_str(), target.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlink(temp.c_str());
        return true;
    }
    FileDescriptor directory(::open(directory_of(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() >= 0) ::fsync(directory.get());
    return true;
}

}  // namespace

void write_file(const std::string& path, const TextProducer& produce) {
    auto failure = [&](int error) {
        return DocumentError("Failed to write: " + debug_quoted(path), system_error_text(error));
    };
    if (path.find('\0') != std::string::npos) throw failure(EINVAL);
    struct stat existing {};
    bool exists = ::stat(path.c_str(), &existing) == 0;
    // Pipes, devices and files with several names are written in place, as
    // are files whose directory does not let us create a temporary file.
    if (!exists || (S_ISREG(existing.st_mode) && existing.st_nlink == 1)) {
        int error = 0;
        if (replace_atomically(follow_links(path), exists ? &existing : nullptr, produce, error)) {
            if (error != 0) throw failure(error);
            return;
        }
    }
    // In place, the whole text is made before the target is touched.
    std::string text;
    produce([&text](std::string_view piece) { text.append(piece); });
    FileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (file.get() < 0) throw failure(errno);
    if (int error = write_all(file.get(), text)) throw failure(error);
    if (::close(file.release()) != 0) throw failure(errno);
}

}  // namespace vocarix
