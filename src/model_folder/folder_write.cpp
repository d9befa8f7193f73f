#include "model_folder/folder_write.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "document/errors.hpp"
#include "document/file_descriptor.hpp"
#include "document/file_io.hpp"
#include "document/json_output.hpp"
#include "document/text.hpp"
#include "state/loading.hpp"
#include "weights/safetensors_rewrite.hpp"

namespace vocarix::folder {
namespace {

namespace fs = std::filesystem;

std::string parent_of(const std::string& path) {
    fs::path parent = fs::path(path).parent_path();
    return parent.empty() ? "." : parent.string();
}

[[noreturn]] void fail_write(const std::string& path, const std::error_code& error) {
    throw DocumentError("Failed to write: " + debug_quoted(path), error.message());
}

void sync_directory(const std::string& path) {
    FileDescriptor directory(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() >= 0) ::fsync(directory.get());
}

std::string quoted_json(std::string_view text) {
    JsonOutput out(text.size() + 16, false);
    out.put_string(text);
    return std::string(out.view());
}

constexpr std::size_t kCopyPiece = std::size_t{16} << 20;

// Copies a file into the new folder and flushes it to disk, so that the
// folder, once renamed into place, holds whole files even after a power
// loss. The kernel copies where it can.
void copy_durably(const std::string& source, const std::string& target) {
    FileDescriptor in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) throw DocumentError("Failed to read: " + debug_quoted(source), std::strerror(errno));
    struct stat info {};
    ::fstat(in.get(), &info);
    FileDescriptor out(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, info.st_mode & 0777));
    auto failed = [&target] { fail_write(target, std::error_code(errno, std::generic_category())); };
    if (out.get() < 0) failed();
    bool in_kernel = true;
    std::vector<char> buffer;
    off_t copied = 0;
    for (;;) {
        ssize_t n = in_kernel ? ::copy_file_range(in.get(), nullptr, out.get(), nullptr, kCopyPiece, 0) : -1;
        if (n < 0 && in_kernel && errno != EINTR) {
            in_kernel = false;  // another file system, or a kernel without it: copy through memory
            buffer.resize(std::size_t{1} << 20);
        }
        if (!in_kernel) {
            n = ::read(in.get(), buffer.data(), buffer.size());
            for (ssize_t done = 0; n > 0 && done < n;) {
                ssize_t wrote = ::write(out.get(), buffer.data() + done, static_cast<std::size_t>(n - done));
                if (wrote < 0 && errno != EINTR) failed();
                done += std::max<ssize_t>(wrote, 0);
            }
        }
        if (n == 0) break;
        if (n < 0 && errno != EINTR) failed();
        if (n > 0) {
            // Start writing this piece to disk while the next is copied: the flush then waits less.
            ::sync_file_range(out.get(), copied, n, SYNC_FILE_RANGE_WRITE);
            copied += n;
        }
    }
    if (::fdatasync(out.get()) != 0) failed();
}

void write_text(const std::string& path, std::string_view text) {
    write_file(path, [text](const TextSink& sink) { sink(text); });
}

// The new text of a config the edit changes, or null.
const std::string* text_after(const FolderEdit& edit, const ConfigText& config) {
    for (const auto& [changed, text] : edit.configs)
        if (changed == &config) return &text;
    return nullptr;
}

// Writes the files of the edited folder into `target`, in the order that
// makes an interrupted in-place write show: weights, index and configs, the
// tokenizer last. `copy_rest` also copies every unchanged file (a new folder).
class FolderWriter {
public:
    FolderWriter(const ModelFolder& folder, const FolderEdit& edit, const EditorState& after, std::string target,
                 bool copy_rest, const std::function<bool()>& keep_going)
        : folder_(folder), edit_(edit), after_(after), target_(std::move(target)), copy_rest_(copy_rest),
          keep_going_(keep_going) {}

    // Writes everything; `written(name)` is told of each changed file once it is in place.
    FolderWriteReport write(const std::function<void(const std::string&)>& written) {
        FolderWriteReport report;
        std::vector<std::string> handled;
        for (const WeightsFileEdit& file : edit_.weights) {
            handled.push_back(file.file);
            if (file.tensors.empty()) {
                copy(file.file, report);
                continue;
            }
            check_going();
            weights::RewriteOptions options{keep_going_};
            weights::rewrite_safetensors(folder_.file_path(file.file), target_path(file.file), file.tensors, edit_.plan,
                                         options);
            for (const weights::VocabularyTensor& tensor : file.tensors)
                report.resized_tensors.push_back(file.file + ": " + tensor.name);
            done(file.file, report, written);
        }
        for (const ConfigText* config : folder_.configs()) {
            handled.push_back(config->name());
            if (const std::string* text = text_after(edit_, *config)) {
                check_going();
                write_text(target_path(config->name()), *text);
                done(config->name(), report, written);
            } else {
                copy(config->name(), report);
            }
        }
        for (const std::string& name : folder_.files)
            if (name != kTokenizerFile && std::find(handled.begin(), handled.end(), name) == handled.end())
                copy(name, report);
        if (copy_rest_)
            for (const std::string& directory : folder_.subdirectories) copy_directory(directory, report);
        if (edit_.tokenizer_changed) {
            check_going();
            save_tokenizer_file(after_, target_path(std::string(kTokenizerFile)));
            done(std::string(kTokenizerFile), report, written);
        } else {
            copy(std::string(kTokenizerFile), report);
        }
        return report;
    }

private:
    std::string target_path(const std::string& name) const { return target_ + "/" + name; }

    // Asked before each piece of work, never after the last, so that a
    // write that has finished is never reported as stopped.
    void check_going() const {
        if (keep_going_ && !keep_going_()) throw ReadInterrupted();
    }

    void done(const std::string& name, FolderWriteReport& report,
              const std::function<void(const std::string&)>& written) const {
        report.rewritten.push_back(name);
        if (written) written(name);
    }

    void copy(const std::string& name, FolderWriteReport& report) const {
        if (!copy_rest_) return;
        check_going();
        copy_durably(folder_.file_path(name), target_path(name));
        report.copied.push_back(name);
    }

    void copy_directory(const std::string& name, FolderWriteReport& report) const {
        check_going();
        std::error_code error;
        fs::copy(folder_.file_path(name), target_path(name), fs::copy_options::recursive, error);
        if (error) fail_write(target_path(name), error);
        report.copied.push_back(name + "/");
    }

    const ModelFolder& folder_;
    const FolderEdit& edit_;
    const EditorState& after_;
    std::string target_;
    bool copy_rest_;
    const std::function<bool()>& keep_going_;
};

// The note of an unfinished in-place write: the files it changes, and those already written.
std::string unfinished_note(const std::vector<std::string>& files, const std::vector<std::string>& written) {
    auto list = [](const std::vector<std::string>& names) {
        std::string text = "[";
        for (std::size_t i = 0; i < names.size(); ++i) text += (i ? ", " : "") + quoted_json(names[i]);
        return text + "]";
    };
    return "{\n  \"note\": \"vocarix was rewriting this model folder in place and stopped: the files under "
           "'written' hold the edit, the other files under 'files' do not; restore the folder from a copy\",\n"
           "  \"files\": " + list(files) + ",\n  \"written\": " + list(written) + "\n}\n";
}

FolderWriteReport write_in_place(const ModelFolder& folder, const FolderEdit& edit, const EditorState& after,
                                 const std::function<bool()>& keep_going) {
    FolderWriter writer(folder, edit, after, folder.path, false, keep_going);
    std::vector<std::string> files = files_changed(folder, edit);
    std::string note_path = folder.file_path(kUnfinishedEditFile);
    bool noted = files.size() > 1;  // one rename is all or nothing already
    std::vector<std::string> written;
    if (noted) write_text(note_path, unfinished_note(files, written));
    FolderWriteReport report = writer.write([&](const std::string& name) {
        written.push_back(name);
        if (noted && written.size() < files.size()) write_text(note_path, unfinished_note(files, written));
    });
    if (noted) {
        ::unlink(note_path.c_str());
        sync_directory(folder.path);
    }
    report.written_to = folder.path;
    return report;
}

// A new directory beside `out_dir` that becomes it once complete.
std::string make_staging_folder(const std::string& out_dir) {
    std::string name = fs::path(out_dir).filename().string();
    std::string staging = parent_of(out_dir) + "/." + name + ".vocarix-partial-XXXXXX";
    if (!::mkdtemp(staging.data())) fail_write(out_dir, std::error_code(errno, std::generic_category()));
    // mkdtemp makes it private; a folder gets the usual permissions.
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::chmod(staging.c_str(), 0777 & ~mask);
    return staging;
}

FolderWriteReport write_new_folder(const ModelFolder& folder, const FolderEdit& edit, const EditorState& after,
                                   const std::string& out_dir, const std::function<bool()>& keep_going) {
    std::string staging = make_staging_folder(out_dir);
    try {
        FolderWriter writer(folder, edit, after, staging, true, keep_going);
        FolderWriteReport report = writer.write({});
        sync_directory(staging);
        // Replaces an empty directory as well as no directory at all.
        if (::rename(staging.c_str(), out_dir.c_str()) != 0)
            fail_write(out_dir, std::error_code(errno, std::generic_category()));
        sync_directory(parent_of(out_dir));
        report.written_to = out_dir;
        return report;
    } catch (...) {
        std::error_code ignored;
        fs::remove_all(staging, ignored);
        throw;
    }
}

}  // namespace

std::vector<std::string> files_changed(const ModelFolder& folder, const FolderEdit& edit) {
    std::vector<std::string> names;
    for (const WeightsFileEdit& file : edit.weights)
        if (!file.tensors.empty()) names.push_back(file.file);
    for (const ConfigText* config : folder.configs())
        if (text_after(edit, *config)) names.push_back(config->name());
    if (edit.tokenizer_changed) names.emplace_back(kTokenizerFile);
    return names;
}

void check_output_folder(const ModelFolder& folder, const std::string& out_dir) {
    std::error_code error;
    if (fs::exists(out_dir, error)) {
        if (fs::equivalent(out_dir, folder.path, error))
            throw FolderError(out_dir + " is the folder being edited: use --in-place to rewrite it");
        if (!fs::is_directory(out_dir, error))
            throw FolderError("cannot write " + out_dir + ": it exists and is not a directory");
        if (!fs::is_empty(out_dir, error))
            throw FolderError("cannot write " + out_dir +
                              ": the directory is not empty (give a new or empty one, so that no old file mixes in)");
    }
    std::string parent = parent_of(out_dir);
    if (!fs::is_directory(parent, error)) throw FolderError("cannot write " + out_dir + ": directory " + parent +
                                                            " does not exist");
}

FolderWriteReport write_model_folder(const ModelFolder& folder, const FolderEdit& edit, const EditorState& after,
                                     const std::string& out_dir, const std::function<bool()>& keep_going) {
    if (out_dir.empty()) return write_in_place(folder, edit, after, keep_going);
    std::string target = out_dir;
    while (target.size() > 1 && target.back() == '/') target.pop_back();
    check_output_folder(folder, target);
    return write_new_folder(folder, edit, after, target, keep_going);
}

}  // namespace vocarix::folder
