#include "file_sets/content_copy.hpp"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "document/errors.hpp"
#include "document/file_descriptor.hpp"
#include "document/text.hpp"

namespace vocarix::file_sets {
namespace {

constexpr off_t kCopyStep = off_t{16} << 20;

[[noreturn]] void fail_copy(const char* what, const std::string& path, int error) {
    throw DocumentError(std::string(what) + debug_quoted(path), std::strerror(error));
}

// Copies [begin, end) at the same offsets, in the kernel where it can.
void copy_range(int in, int out, off_t begin, off_t end, const std::string& source, const std::string& target,
                const std::function<bool()>& keep_going, bool& in_kernel) {
    std::vector<char> buffer;
    while (begin < end) {
        if (keep_going && !keep_going()) throw ReadInterrupted();
        std::size_t piece = static_cast<std::size_t>(std::min(end - begin, kCopyStep));
        ssize_t n = -1;
        if (in_kernel) {
            off_t in_at = begin, out_at = begin;
            n = ::copy_file_range(in, &in_at, out, &out_at, piece, 0);
            if (n < 0 && errno != EINTR) in_kernel = false;  // another file system, or an older kernel
        }
        if (!in_kernel) {
            buffer.resize(std::min<std::size_t>(piece, std::size_t{1} << 20));
            n = ::pread(in, buffer.data(), std::min(piece, buffer.size()), begin);
            if (n < 0 && errno != EINTR) fail_copy("Failed to read: ", source, errno);
            for (ssize_t done = 0; n > 0 && done < n;) {
                ssize_t wrote = ::pwrite(out, buffer.data() + done, static_cast<std::size_t>(n - done), begin + done);
                if (wrote < 0 && errno != EINTR) fail_copy("Failed to write: ", target, errno);
                done += std::max<ssize_t>(wrote, 0);
            }
        }
        if (n == 0) fail_copy("Failed to read: ", source, ENODATA);  // the file shrank under the copy
        if (n > 0) {
            // Start writing this piece to disk while the next is copied: the flush then waits less.
            ::sync_file_range(out, begin, n, SYNC_FILE_RANGE_WRITE);
            begin += n;
        }
    }
}

}  // namespace

void copy_content(const std::string& source, int target_fd, const std::string& target_path,
                  const std::function<bool()>& keep_going) {
    FileDescriptor in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) fail_copy("Failed to read: ", source, errno);
    struct stat info {};
    if (::fstat(in.get(), &info) != 0) fail_copy("Failed to read: ", source, errno);
    if (!S_ISREG(info.st_mode)) throw DocumentError("Failed to read: " + debug_quoted(source), "not a regular file");
    if (::ioctl(target_fd, FICLONE, in.get()) == 0) return;
    off_t size = info.st_size;
    bool in_kernel = true;
    for (off_t at = 0; at < size;) {
        off_t data = ::lseek(in.get(), at, SEEK_DATA);
        if (data < 0 && errno == ENXIO) break;  // only a hole is left
        if (data < 0) data = at;                // no hole finding here: copy everything
        off_t hole = ::lseek(in.get(), data, SEEK_HOLE);
        if (hole < 0 || hole > size) hole = size;
        copy_range(in.get(), target_fd, data, hole, source, target_path, keep_going, in_kernel);
        at = hole;
    }
    // A hole at the end is made by the size alone.
    if (::ftruncate(target_fd, size) != 0) fail_copy("Failed to write: ", target_path, errno);
}

}  // namespace vocarix::file_sets
