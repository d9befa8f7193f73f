#include "model_folder/folder_write.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "document/errors.hpp"
#include "document/file_descriptor.hpp"
#include "document/file_io.hpp"
#include "document/replacement_file.hpp"
#include "document/text.hpp"
#include "state/loading.hpp"
#include "weights/safetensors_rewrite.hpp"

namespace vocarix::folder {
namespace {

namespace fs = std::filesystem;

// The new text of a config the edit changes, or null.
const std::string* text_after(const FolderEdit& edit, const ConfigText& config) {
    for (const auto& [changed, text] : edit.configs)
        if (changed == &config) return &text;
    return nullptr;
}

file_sets::ContentWriter rewritten_weights(const ModelFolder& folder, const WeightsFileEdit& file,
                                           const FolderEdit& edit, const std::function<bool()>& keep_going) {
    return [&folder, &file, &edit, keep_going](int fd, const std::string& path) {
        std::string source = folder.file_path(file.file);
        FileDescriptor in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
        if (in.get() < 0) throw DocumentError("Failed to read: " + debug_quoted(source), std::strerror(errno));
        const weights::WeightsFile* read = nullptr;
        for (const weights::WeightsFile& candidate : folder.weights)
            if (candidate.file == file.file) read = &candidate;
        weights::write_rewritten(in.get(), read->header, fd, file.tensors, edit.plan, {keep_going}, source, path);
    };
}

file_sets::ContentWriter tokenizer_text(const EditorState& after) {
    return [&after](int fd, const std::string& path) {
        write_produced(fd, [&after](const TextSink& sink) { write_document_file_text(after.records(), sink); }, path);
    };
}

// The permission bits of a file to copy (links followed).
std::optional<mode_t> mode_of(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return std::nullopt;
    return info.st_mode & 07777;
}

// Plans the edited folder's files: those the edit changes, in the order
// that writes the tokenizer last, and with `copy_rest` every other file too.
class FolderPlanner {
public:
    FolderPlanner(const ModelFolder& folder, const FolderEdit& edit, const EditorState& after,
                  const std::function<bool()>& keep_going)
        : folder_(folder), edit_(edit), after_(after), keep_going_(keep_going) {}

    std::vector<file_sets::PlannedFile> plan(bool copy_rest, FolderWriteReport& report) {
        std::vector<file_sets::PlannedFile> files;
        for (const WeightsFileEdit& file : edit_.weights) {
            if (file.tensors.empty()) continue;
            files.push_back({file.file, rewritten_weights(folder_, file, edit_, keep_going_), std::nullopt});
            for (const weights::VocabularyTensor& tensor : file.tensors)
                report.resized_tensors.push_back(file.file + ": " + tensor.name);
        }
        for (const ConfigText* config : folder_.configs())
            if (const std::string* text = text_after(edit_, *config))
                files.push_back({config->name(), file_sets::text_content(*text), std::nullopt});
        // The files of other readers; one that cannot follow the edit is removed, or left out of a new folder.
        std::vector<std::string> left_out;
        for (const ReaderFileEdit& file : edit_.reader_files) {
            if (file.content) files.push_back({file.file, file_sets::text_content(*file.content), std::nullopt});
            else if (!copy_rest) files.push_back({file.file, {}, std::nullopt});
            else left_out.push_back(file.file);
        }
        if (edit_.tokenizer_changed)
            files.push_back({std::string(kTokenizerFile), tokenizer_text(after_), std::nullopt});
        for (const file_sets::PlannedFile& file : files) report.rewritten.push_back(file.name);
        if (!copy_rest) return files;
        auto planned = [&](const std::string& name) {
            return std::find(report.rewritten.begin(), report.rewritten.end(), name) != report.rewritten.end() ||
                   std::find(left_out.begin(), left_out.end(), name) != left_out.end();
        };
        for (const std::string& name : folder_.files)
            if (!planned(name)) copy(name, files, report.copied);
        for (const std::string& name : folder_.nested_files) copy(name, files, report.copied);
        for (const std::string& name : folder_.subdirectories) report.copied.push_back(name + "/");
        return files;
    }

private:
    void copy(const std::string& name, std::vector<file_sets::PlannedFile>& files,
              std::vector<std::string>& copied) const {
        std::string source = folder_.file_path(name);
        files.push_back({name, file_sets::copied_content(source, keep_going_), mode_of(source)});
        if (name.find('/') == std::string::npos) copied.push_back(name);
    }

    const ModelFolder& folder_;
    const FolderEdit& edit_;
    const EditorState& after_;
    const std::function<bool()>& keep_going_;
};

FolderWriteReport write_in_place(const ModelFolder& folder, const FolderEdit& edit, const EditorState& after,
                                 const file_sets::WriteOptions& options) {
    file_sets::EditLock lock = file_sets::lock_directory(folder.path, options.lock_wait);
    std::vector<FileStamp> now = stamps_now(folder);
    for (std::size_t i = 0; i < now.size(); ++i)
        if (!(now[i] == folder.stamps[i]))
            throw FolderError(folder.file_path(now[i].name) + " changed since the folder was read (by another "
                              "program?): nothing written; open the folder again and redo the edit");
    FolderWriteReport report;
    FolderPlanner planner(folder, edit, after, options.keep_going);
    file_sets::replace_files(folder.path, planner.plan(false, report), options);
    report.written_to = folder.path;
    return report;
}

FolderWriteReport write_new_folder(const ModelFolder& folder, const FolderEdit& edit, const EditorState& after,
                                   const std::string& out_dir, const file_sets::WriteOptions& options) {
    FolderWriteReport report;
    FolderPlanner planner(folder, edit, after, options.keep_going);
    std::vector<file_sets::PlannedFile> files = planner.plan(true, report);
    std::vector<std::string> directories = folder.subdirectories;
    directories.insert(directories.end(), folder.nested_directories.begin(), folder.nested_directories.end());
    file_sets::write_new_folder(out_dir, files, directories, options);
    report.written_to = out_dir;
    return report;
}

}  // namespace

std::vector<std::string> files_changed(const ModelFolder& folder, const FolderEdit& edit) {
    std::vector<std::string> names;
    for (const WeightsFileEdit& file : edit.weights)
        if (!file.tensors.empty()) names.push_back(file.file);
    for (const ConfigText* config : folder.configs())
        if (text_after(edit, *config)) names.push_back(config->name());
    for (const ReaderFileEdit& file : edit.reader_files) names.push_back(file.file);
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
    std::string parent = directory_of(out_dir);
    if (!fs::is_directory(parent, error)) throw FolderError("cannot write " + out_dir + ": directory " + parent +
                                                            " does not exist");
}

FolderWriteReport write_model_folder(const ModelFolder& folder, const FolderEdit& edit, const EditorState& after,
                                     const std::string& out_dir, const file_sets::WriteOptions& options) {
    if (out_dir.empty()) return write_in_place(folder, edit, after, options);
    std::string target = out_dir;
    while (target.size() > 1 && target.back() == '/') target.pop_back();
    check_output_folder(folder, target);
    return write_new_folder(folder, edit, after, target, options);
}

}  // namespace vocarix::folder
