// Writing a set of files all or nothing: the one way every edit writes.
//
// In place (replace_files), the discipline of a database journal:
//   1. every new file is written beside the one it replaces (a
//      ".<name>.vocarix-new-XXXXXX" file, flocked by its writer) and flushed;
//   2. one record of the planned swaps (journal_record.hpp) is written whole
//      and flushed: from here on the write completes, whatever stops it;
//   3. the renames (and removals), with SIGINT/SIGTERM/SIGHUP held;
//   4. the record is removed.
// The directory's edit lock (edit_lock.hpp) is held throughout. A write
// stopped before step 2 leaves only new files that nobody holds; the next
// settle_directory (settling.hpp) removes them (undo). One stopped after it
// leaves the record; the next settle_directory completes the swaps (redo).
// A set of one file needs no record: its one rename is all or nothing.
//
// A link (symbolic or hard) among the targets is replaced by the new file:
// the file it pointed at, and every other name of it, stay as they were.
//
// Into a new folder (write_new_folder): everything is written into a
// flocked ".<name>.vocarix-partial-XXXXXX" folder beside it, renamed to it
// once complete.
//
// Use: one PlannedFile per output, each saying how to make its content.
//
//   std::vector<file_sets::PlannedFile> files;
//   files.push_back({"config.json", file_sets::text_content(new_config)});
//   files.push_back({"model.safetensors", [&](int fd, const std::string& path) {
//       weights::write_rewritten(source_fd, header, fd, tensors, plan, options, source, path); }});
//   files.push_back({"merges.txt", {}});   // no content: remove the file
//   file_sets::replace_files("my-model", files, {.keep_going = ...});
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "file_sets/edit_lock.hpp"
#include "file_sets/settling.hpp"

namespace vocarix::file_sets {

// Writes a new file's whole content into `fd` (empty, open for writing,
// its offset 0); `path` is the new file's own path, for messages. Throw to
// abandon the whole set.
using ContentWriter = std::function<void(int fd, const std::string& path)>;

struct PlannedFile {
    // In place: a name in the directory. New folder: a path inside it ("onnx/model.onnx").
    std::string name;
    // Empty: remove the file (in place only).
    ContentWriter write;
    // Permission bits; by default those of the file replaced (links followed), or a new file's.
    std::optional<mode_t> mode;
};

struct WriteOptions {
    // Asked between files and by content writers that take it; false
    // abandons the write (ReadInterrupted) with nothing changed.
    std::function<bool()> keep_going;
    // How to wait for the directory's edit lock.
    LockWait lock_wait;
};

struct SetWriteReport {
    std::vector<std::string> written;  // in the order given
    std::vector<std::string> removed;
    // What an earlier, interrupted write had left, settled first.
    Settlement settled;
};

// Writes `text` as it is.
ContentWriter text_content(std::string text);
// Text handed over piece by piece as it is made: produce(write) calls
// write(piece) with consecutive pieces; each is written at once and on its
// way to disk while the next is made, so that the final flush waits less.
using PieceWriter = std::function<void(std::string_view piece)>;
ContentWriter streamed_content(std::function<void(const PieceWriter& write)> produce);

// The content of the file at `source` (links followed; sparse files stay sparse).
ContentWriter copied_content(std::string source, std::function<bool()> keep_going = {});

// Replaces the planned files of `directory` all or nothing, as above.
// Throws DocumentError (naming the file) or ReadInterrupted; before the
// record is written that leaves the directory as it was.
SetWriteReport replace_files(const std::string& directory, const std::vector<PlannedFile>& files,
                             const WriteOptions& options = {});

// Replaces one file: a new file written beside it is renamed over it. A
// target that is no regular file (a device, a pipe) is written to as it is.
void replace_file(const std::string& path, const ContentWriter& write, const WriteOptions& options = {});

// Writes a new folder `out_dir` (absent or an empty directory) holding the
// planned files and the (empty or not) `directories`, all or nothing.
void write_new_folder(const std::string& out_dir, const std::vector<PlannedFile>& files,
                      const std::vector<std::string>& directories, const WriteOptions& options = {});

}  // namespace vocarix::file_sets
