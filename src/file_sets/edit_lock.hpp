// One edit at a time per directory: an exclusive flock on the directory
// itself. The kernel drops it when its process ends, however it ends, so a
// killed edit never blocks the next one, and nothing is left in the folder.
//
// The lock is per process and re-entrant: a process that holds it (the CLI
// holds it from before it reads a folder until it has written it) may take
// it again (the folder writer does) without waiting for itself.
//
//   file_sets::EditLock lock = file_sets::lock_directory("model", {
//       .on_wait = [](const std::string& holder) { print("waiting for " + holder); },
//       .keep_going = [] { return !interrupted(); }});
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace vocarix::file_sets {

struct LockWait {
    // Told once, when another process holds the lock: who it is
    // ("process 1234 (vocarix prune model --in-place)").
    std::function<void(const std::string& holder)> on_wait;
    // Asked every 50 ms while waiting; false abandons the wait with
    // ReadInterrupted. It must not throw.
    std::function<bool()> keep_going;
};

class EditLock {
public:
    EditLock() = default;
    bool held() const { return held_ != nullptr; }
    // Gives up this hold; the lock is released when the process's last hold goes.
    void release() { held_.reset(); }

private:
    friend EditLock lock_directory(const std::string& directory, const LockWait& wait);
    std::shared_ptr<struct HeldDirectory> held_;
};

// Takes the lock of `directory`, waiting while another process holds it.
// DocumentError when the directory cannot be opened. Where the file system
// has no locks, the hold is granted as it is.
EditLock lock_directory(const std::string& directory, const LockWait& wait = {});

// Whether this process holds the lock of `directory`.
bool holds_lock(const std::string& directory);

// Who holds a lock on the file or directory open as `fd`, as one phrase
// ("process 1234 (vocarix add model x --in-place)"), from /proc/locks.
std::string lock_holder(int fd);

// Whether the file or directory open as `fd` is free of any other flock:
// takes an exclusive flock without waiting and keeps it (it goes with the
// descriptor). False when another open description holds one.
bool try_lock(int fd);

}  // namespace vocarix::file_sets
