#include "document/file_io.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "document/errors.hpp"
#include "document/stream_check.hpp"
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

namespace {

// Asks the caller whether to go on: always after an interruption or a wait
// that timed out, and between chunks no more than every 50 ms, since taking
// back whatever the caller runs on may cost a thread switch.
class ReadProgress {
public:
    explicit ReadProgress(const std::function<bool()>& keep_going) : keep_going_(keep_going) {}
    void check_now() {
        if (keep_going_ && !keep_going_()) throw ReadInterrupted();
        last_check_ = std::chrono::steady_clock::now();
    }
    void check_now_and_then() {
        if (keep_going_ && std::chrono::steady_clock::now() - last_check_ >= std::chrono::milliseconds(50)) check_now();
    }

private:
    const std::function<bool()>& keep_going_;
    std::chrono::steady_clock::time_point last_check_ = std::chrono::steady_clock::now();
};

// Waits up to 100 ms for `fd` to have input or to be hung up; true when it
// has, after asking the caller whether to go on when it has not.
bool wait_for_input(int fd, ReadProgress& progress) {
    struct pollfd wait_for {fd, POLLIN, 0};
    if (::poll(&wait_for, 1, 100) > 0) return true;
    progress.check_now();
    return false;
}

}  // namespace

TextBuffer read_file(const std::string& path, const ReadOptions& options, bool* ended_early) {
    auto failure = [&](int error) { return DocumentError("Failed to read: " + debug_quoted(path), system_error_text(error)); };
    if (ended_early) *ended_early = false;
    if (path.find('\0') != std::string::npos) throw failure(EINVAL);
    // Without blocking, a pipe with no writer yet opens at once; the wait
    // for its data happens below, where the caller can interrupt it.
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0) throw failure(errno);
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) throw failure(errno);
    const bool regular = S_ISREG(info.st_mode);
    const std::uint64_t limit = regular ? UINT64_MAX : options.stream_size_limit;
    StreamedDocumentCheck check;
    ReadProgress progress(options.keep_going);
    // One byte of room beyond the size shows end of file without another grow.
    TextBuffer buffer(regular ? static_cast<std::size_t>(info.st_size) + 1 : 0);
    for (std::size_t size = 0;;) {
        if (size == buffer.capacity()) buffer.grow(2 * size);
        // A stream is read at most one byte past its limit, which shows it is over.
        std::size_t room = buffer.capacity() - size;
        if (std::uint64_t allowed = limit - size; !regular && allowed < room) room = static_cast<std::size_t>(allowed) + 1;
        // A pipe reads as ended while no writer has come yet; waiting until
        // it has data or its writers are gone tells the two apart.
        if (S_ISFIFO(info.st_mode) && !wait_for_input(file.get(), progress)) continue;
        ssize_t n = ::read(file.get(), buffer.data() + size, room);
        if (n < 0) {
            if (errno == EINTR) progress.check_now();
            else if (errno == EAGAIN || errno == EWOULDBLOCK) wait_for_input(file.get(), progress);
            else throw failure(errno);
            continue;
        }
        if (n == 0) break;
        if (!regular) {
            std::size_t impossible = check.scan({buffer.data() + size, static_cast<std::size_t>(n)});
            if (impossible != StreamedDocumentCheck::kAllPossible) {
                buffer.set_size(size + impossible + 1);
                if (ended_early) *ended_early = true;
                break;
            }
        }
        size += static_cast<std::size_t>(n);
        buffer.set_size(size);
        if (size > limit)
            throw DocumentError("Failed to read: " + debug_quoted(path),
                                "more than " + std::to_string(limit) + " bytes from a file that is not a regular file");
        progress.check_now_and_then();
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
