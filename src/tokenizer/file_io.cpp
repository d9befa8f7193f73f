#include "file_io.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "errors.hpp"
#include "json_reader.hpp"
#include "json_writer.hpp"
#include "text.hpp"

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

std::string read_file(const std::string& path) {
    auto failure = [&](int error) { return DocumentError("Failed to read: " + debug_quoted(path), system_error_text(error)); };
    if (path.find('\0') != std::string::npos) throw failure(EINVAL);
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0) throw failure(errno);
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) throw failure(errno);
    std::string text;
    if (S_ISREG(info.st_mode) && info.st_size > 0) text.reserve(static_cast<std::size_t>(info.st_size));
    char chunk[1 << 16];
    for (;;) {
        // Read straight into the reserved string when possible.
        if (text.capacity() > text.size()) {
            std::size_t old_size = text.size();
            std::size_t room = text.capacity() - old_size;
            text.resize(text.capacity());
            ssize_t n = ::read(file.get(), text.data() + old_size, room);
            if (n < 0) {
                if (errno == EINTR) {
                    text.resize(old_size);
                    continue;
                }
                throw failure(errno);
            }
            text.resize(old_size + static_cast<std::size_t>(n));
            if (n == 0) break;
            continue;
        }
        ssize_t n = ::read(file.get(), chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw failure(errno);
        }
        if (n == 0) break;
        text.append(chunk, static_cast<std::size_t>(n));
    }
    return text;
}

void write_file(const std::string& path, std::string_view text) {
    auto failure = [&](int error) {
        return DocumentError("Failed to write: " + debug_quoted(path), system_error_text(error));
    };
    if (path.find('\0') != std::string::npos) throw failure(EINVAL);
    FileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (file.get() < 0) throw failure(errno);
    std::size_t written = 0;
    while (written < text.size()) {
        ssize_t n = ::write(file.get(), text.data() + written, text.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw failure(errno);
        }
        written += static_cast<std::size_t>(n);
    }
    if (::close(file.release()) != 0) throw failure(errno);
}

std::unique_ptr<EditorState> load_tokenizer_file(const std::string& path) {
    std::string text = read_file(path);
    std::unique_ptr<EditorState> state;
    try {
        state = parse_tokenizer_text(text);
    } catch (const ParseError& error) {
        // A file that is not UTF-8 is a read failure, wherever the parser stopped.
        if (!is_valid_utf8(text))
            throw DocumentError("Failed to read: " + debug_quoted(path), "stream did not contain valid UTF-8");
        throw DocumentError("Failed to parse tokenizer.json", error.what());
    }
    if (state->sections.model.type != "BPE") throw DocumentError("Only BPE tokenizers are supported");
    return state;
}

void save_tokenizer_file(const EditorState& state, const std::string& path) {
    std::string text = write_document_file_text(state);
    write_file(path, text);
}

}  // namespace vocarix
