#include "file_sets/file_set_write.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>

#include "document/errors.hpp"
#include "document/file_descriptor.hpp"
#include "document/file_io.hpp"
#include "document/replacement_file.hpp"
#include "document/text.hpp"
#include "file_sets/content_copy.hpp"
#include "file_sets/held_signals.hpp"
#include "file_sets/journal_record.hpp"
#include "file_sets/new_file.hpp"

namespace vocarix::file_sets {
namespace {

namespace fs = std::filesystem;

[[noreturn]] void fail_set_write(const std::string& path, int error) {
    throw DocumentError("Failed to write: " + debug_quoted(path), std::strerror(error));
}

void check_going(const WriteOptions& options) {
    if (options.keep_going && !options.keep_going()) throw ReadInterrupted();
}

// For tests of interrupted writes: VOCARIX_TEST_SIGNAL_AT_WRITE_STEP="N SIGNAL"
// sends SIGNAL to this process when the Nth step of writing a set is done
// (a new file written, the record written, a swap, the record removed).
void write_step_done() {
    static long steps = 0;
    static const std::pair<long, int> planned = [] {
        std::pair<long, int> parsed{0, 0};
        if (const char* setting = std::getenv("VOCARIX_TEST_SIGNAL_AT_WRITE_STEP")) {
            std::string_view text = setting;
            std::size_t space = text.find(' ');
            if (space != std::string_view::npos) {
                std::from_chars(text.data(), text.data() + space, parsed.first);
                std::from_chars(text.data() + space + 1, text.data() + text.size(), parsed.second);
            }
        }
        return parsed;
    }();
    if (++steps == planned.first && planned.second > 0) ::kill(::getpid(), planned.second);
}

void check_name(const std::string& directory, const std::string& name, bool nested) {
    bool plain = !name.empty() && name != "." && name != ".." && name.find('\0') == std::string::npos &&
                 (nested || name.find('/') == std::string::npos) && name.front() != '/';
    if (!plain) throw DocumentError("Failed to write: " + debug_quoted(directory + "/" + name), "not a file name");
}

// Writes one planned file into a new file beside its target (flushed by the caller).
std::unique_ptr<NewFile> write_new_file(const std::string& target, const PlannedFile& file) {
    struct stat info {};
    if (::lstat(target.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) fail_set_write(target, EISDIR);
    auto made = std::make_unique<NewFile>(target, file.mode);
    file.write(made->fd(), made->path());
    return made;
}

// A new folder's permission bits: a new file's, with search wherever it may be read.
mode_t new_folder_mode() {
    mode_t file = new_file_mode();
    return file | ((file & 0444) >> 2);
}

}  // namespace

namespace {

void write_all(int fd, const std::string& path, std::string_view rest) {
    while (!rest.empty()) {
        ssize_t n = ::write(fd, rest.data(), rest.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail_set_write(path, errno);
        rest.remove_prefix(static_cast<std::size_t>(n));
    }
}

}  // namespace

ContentWriter text_content(std::string text) {
    return [text = std::move(text)](int fd, const std::string& path) { write_all(fd, path, text); };
}

ContentWriter streamed_content(std::function<void(const PieceWriter& write)> produce) {
    return [produce = std::move(produce)](int fd, const std::string& path) {
        off_t written = 0;
        produce([&](std::string_view piece) {
            write_all(fd, path, piece);
            ::sync_file_range(fd, written, static_cast<off_t>(piece.size()), SYNC_FILE_RANGE_WRITE);
            written += static_cast<off_t>(piece.size());
        });
    };
}

ContentWriter copied_content(std::string source, std::function<bool()> keep_going) {
    return [source = std::move(source), keep_going = std::move(keep_going)](int fd, const std::string& path) {
        copy_content(source, fd, path, keep_going);
    };
}

SetWriteReport replace_files(const std::string& directory, const std::vector<PlannedFile>& files,
                             const WriteOptions& options) {
    std::set<std::string> names;
    for (const PlannedFile& file : files) {
        check_name(directory, file.name, false);
        if (!names.insert(file.name).second)
            throw DocumentError("Failed to write: " + debug_quoted(directory + "/" + file.name), "planned twice");
    }
    SetWriteReport report;
    EditLock lock = lock_directory(directory, options.lock_wait);
    report.settled = settle_directory(directory, options.lock_wait);

    std::vector<std::unique_ptr<NewFile>> made(files.size());
    std::vector<JournalEntry> swaps;
    for (std::size_t i = 0; i < files.size(); ++i) {
        const PlannedFile& file = files[i];
        if (!file.write) {
            swaps.push_back({file.name, "", 0});
            continue;
        }
        check_going(options);
        made[i] = write_new_file(directory + "/" + file.name, file);
        std::uint64_t size = made[i]->flush();
        swaps.push_back({file.name, file_name_of(made[i]->path()), size});
        write_step_done();
    }
    if (swaps.empty()) return report;
    check_going(options);
    sync_directory(directory);  // the new files' names, before a record names them

    // From the record on, the write completes: stop signals wait for the swaps.
    HeldSignals held;
    std::string journal = directory + "/" + std::string(kJournalName);
    bool recorded = swaps.size() > 1;
    if (recorded) {
        NewFile record(journal, mode_t{0644});
        text_content(journal_text(swaps))(record.fd(), record.path());
        record.flush();
        record.put_in_place();
        sync_directory(directory);
        for (auto& file : made)
            if (file) file->keep();  // the record now names them: a stop leaves them for completion
        write_step_done();
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        const std::string target = directory + "/" + files[i].name;
        if (made[i]) {
            made[i]->put_in_place();
            report.written.push_back(files[i].name);
        } else {
            if (::unlink(target.c_str()) != 0 && errno != ENOENT) fail_set_write(target, errno);
            report.removed.push_back(files[i].name);
        }
        write_step_done();
    }
    sync_directory(directory);
    if (recorded) {
        if (::unlink(journal.c_str()) != 0) fail_set_write(journal, errno);
        sync_directory(directory);
        write_step_done();
    }
    return report;
}

void replace_file(const std::string& path, const ContentWriter& write, const WriteOptions& options) {
    if (path.empty() || path.find('\0') != std::string::npos) fail_set_write(path, EINVAL);
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) fail_set_write(path, EISDIR);
        if (!S_ISREG(info.st_mode)) {
            // A device or a pipe: nothing to replace, the content goes through it.
            FileDescriptor out(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
            if (out.get() < 0) fail_set_write(path, errno);
            write(out.get(), path);
            return;
        }
    }
    check_going(options);
    PlannedFile planned{file_name_of(path), write, std::nullopt};
    std::unique_ptr<NewFile> made = write_new_file(path, planned);
    made->flush();
    write_step_done();
    HeldSignals held;
    made->put_in_place();
    sync_directory(directory_of(path));
    write_step_done();
}

void write_new_folder(const std::string& out_dir, const std::vector<PlannedFile>& files,
                      const std::vector<std::string>& directories, const WriteOptions& options) {
    std::string staging = temporary_path_for(out_dir, ".vocarix-partial-");
    if (!::mkdtemp(staging.data())) fail_set_write(out_dir, errno);
    // Held while it is written: a sweep removes it only once this process is gone.
    FileDescriptor hold(::open(staging.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (hold.get() >= 0) try_lock(hold.get());
    // mkdtemp makes it private; a folder gets the usual permissions.
    ::chmod(staging.c_str(), new_folder_mode());
    try {
        for (const std::string& directory : directories) {
            check_name(out_dir, directory, true);
            std::error_code error;
            fs::create_directories(staging + "/" + directory, error);
            if (error) fail_set_write(out_dir + "/" + directory, error.value());
        }
        for (const PlannedFile& file : files) {
            check_name(out_dir, file.name, true);
            check_going(options);
            std::string path = staging + "/" + file.name;
            std::error_code error;
            fs::create_directories(fs::path(path).parent_path(), error);
            mode_t mode = file.mode ? *file.mode : new_file_mode();
            FileDescriptor out(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
            if (out.get() < 0) fail_set_write(out_dir + "/" + file.name, errno);
            ::fchmod(out.get(), mode);
            file.write(out.get(), path);
            if (::fdatasync(out.get()) != 0) fail_set_write(out_dir + "/" + file.name, errno);
            write_step_done();
        }
        for (const std::string& directory : directories) sync_directory(staging + "/" + directory);
        sync_directory(staging);
        check_going(options);
        HeldSignals held;
        // Replaces an empty directory as well as no directory at all.
        if (::rename(staging.c_str(), out_dir.c_str()) != 0) fail_set_write(out_dir, errno);
        sync_directory(directory_of(out_dir));
        write_step_done();
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(staging, ignored);
        throw;
    }
}

}  // namespace vocarix::file_sets
