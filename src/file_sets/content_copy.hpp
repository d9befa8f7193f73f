// Copying a file's content into a new file: cloned where the file system
// shares blocks between files, otherwise only the parts that hold data, so
// that holes stay holes (a sparse file stays sparse).
#pragma once

#include <functional>
#include <string>

namespace vocarix::file_sets {

// Copies the content of the file at `source` (links followed) into `target_fd`
// (an empty file open for writing). `keep_going` is asked between pieces;
// false abandons with ReadInterrupted. DocumentError naming the file at fault.
void copy_content(const std::string& source, int target_fd, const std::string& target_path,
                  const std::function<bool()>& keep_going = {});

}  // namespace vocarix::file_sets
