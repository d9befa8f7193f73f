// Settling what an interrupted write left in a directory, before anything
// reads or writes there: a journal record is completed (every file it names
// was written whole), new files that nobody holds any more are removed
// (their write stopped before its record), and so are partial new folders
// that nobody holds.
#pragma once

#include <string>
#include <vector>

#include "file_sets/edit_lock.hpp"

namespace vocarix::file_sets {

struct Settlement {
    std::vector<std::string> completed;          // files an interrupted edit had written, now in place
    std::vector<std::string> undone;             // new files of an interrupted edit, removed
    std::vector<std::string> leftovers_removed;  // partial new folders, removed
    bool empty() const { return completed.empty() && undone.empty() && leftovers_removed.empty(); }
};

// Settles `directory`. A journal record is completed under the directory's
// edit lock (waiting as `wait` says while a live edit swaps). DocumentError
// when a record cannot be completed (a read-only directory).
Settlement settle_directory(const std::string& directory, const LockWait& wait = {});

// One line saying what was settled in `directory`, or "" for nothing.
std::string describe_settlement(const Settlement& settled, const std::string& directory);

// The directory a path's edit is settled and locked in: the path itself for
// a directory, else the directory that holds it.
std::string edit_directory_of(const std::string& path);

}  // namespace vocarix::file_sets
