#include "document/file_io.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "document/errors.hpp"
#include "document/file_descriptor.hpp"
#include "document/progress_check.hpp"
#include "document/stream_check.hpp"
#include "document/text.hpp"

namespace vocarix {
namespace {

std::string system_error_text(int error) { return std::strerror(error); }

// Waits up to 100 ms for `fd` to have input or to be hung up; true when it
// has, after asking the caller whether to go on when it has not.
bool wait_for_input(int fd, ProgressCheck& progress) {
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
    ProgressCheck progress(options.keep_going);
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

}  // namespace vocarix
