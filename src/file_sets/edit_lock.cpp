#include "file_sets/edit_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>

#include "document/errors.hpp"
#include "document/text.hpp"

namespace vocarix::file_sets {

struct HeldDirectory {
    int fd = -1;
    std::pair<dev_t, ino_t> identity;
    ~HeldDirectory();
};

namespace {

constexpr auto kLockPoll = std::chrono::milliseconds(50);
constexpr std::size_t kLongestCommand = 200;

std::mutex& registry_mutex() {
    static std::mutex mutex;
    return mutex;
}

// The holds of this process, by directory identity.
std::map<std::pair<dev_t, ino_t>, std::weak_ptr<HeldDirectory>>& registry() {
    static std::map<std::pair<dev_t, ino_t>, std::weak_ptr<HeldDirectory>> holds;
    return holds;
}

// The command line of a process, its arguments joined by spaces and cut to a readable length.
std::string command_of(long pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    while (!text.empty() && text.back() == '\0') text.pop_back();
    for (char& c : text)
        if (c == '\0') c = ' ';
    if (text.size() > kLongestCommand) text = text.substr(0, kLongestCommand) + "...";
    return text;
}

// The pid /proc/locks gives for an active flock on device `dev`, inode `ino`, or 0.
long flock_holder_pid(dev_t dev, ino_t ino) {
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, place;
        long pid = 0;
        if (!(fields >> number >> kind) || kind == "->" || kind != "FLOCK") continue;
        if (!(fields >> mode >> access >> pid >> place)) continue;
        // place: "MAJOR:MINOR:INODE", the device numbers in hex.
        std::size_t first = place.find(':'), second = place.find(':', first + 1);
        if (first == std::string::npos || second == std::string::npos) continue;
        unsigned major_number = 0, minor_number = 0;
        unsigned long long inode = 0;
        const char* text = place.data();
        std::from_chars(text, text + first, major_number, 16);
        std::from_chars(text + first + 1, text + second, minor_number, 16);
        std::from_chars(text + second + 1, text + place.size(), inode);
        if (major_number == major(dev) && minor_number == minor(dev) && inode == ino) return pid;
    }
    return 0;
}

}  // namespace

HeldDirectory::~HeldDirectory() {
    {
        std::lock_guard<std::mutex> guard(registry_mutex());
        auto it = registry().find(identity);
        if (it != registry().end() && it->second.expired()) registry().erase(it);
    }
    if (fd >= 0) ::close(fd);  // releases the flock
}

std::string lock_holder(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) return "another process";
    long pid = flock_holder_pid(info.st_dev, info.st_ino);
    if (pid <= 0 || pid == ::getpid()) return "another process";
    std::string command = command_of(pid);
    return "process " + std::to_string(pid) + (command.empty() ? "" : " (" + command + ")");
}

bool try_lock(int fd) {
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        // No locks on this file system: nobody can be told apart, so nothing counts as held.
        return errno != EWOULDBLOCK;
    }
    return true;
}

EditLock lock_directory(const std::string& directory, const LockWait& wait) {
    int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw DocumentError("Failed to read: " + debug_quoted(directory), std::strerror(errno));
    auto held = std::make_shared<HeldDirectory>();
    held->fd = fd;
    struct stat info {};
    ::fstat(fd, &info);
    held->identity = {info.st_dev, info.st_ino};
    EditLock lock;
    {
        std::lock_guard<std::mutex> guard(registry_mutex());
        auto& slot = registry()[held->identity];
        if (std::shared_ptr<HeldDirectory> existing = slot.lock()) {
            held->identity = {};  // a second open of a directory this process holds: only closed
            lock.held_ = std::move(existing);
            return lock;
        }
    }
    bool told = false;
    while (!try_lock(fd)) {
        if (!told && wait.on_wait) wait.on_wait(lock_holder(fd));
        told = true;
        if (wait.keep_going && !wait.keep_going()) throw ReadInterrupted();
        std::this_thread::sleep_for(kLockPoll);
    }
    std::lock_guard<std::mutex> guard(registry_mutex());
    std::weak_ptr<HeldDirectory>& slot = registry()[held->identity];
    if (std::shared_ptr<HeldDirectory> existing = slot.lock()) {
        // Another thread of this process took it meanwhile; share its hold.
        held->identity = {};
        lock.held_ = std::move(existing);
        return lock;
    }
    slot = held;
    lock.held_ = std::move(held);
    return lock;
}

bool holds_lock(const std::string& directory) {
    struct stat info {};
    if (::stat(directory.c_str(), &info) != 0) return false;
    std::lock_guard<std::mutex> guard(registry_mutex());
    auto it = registry().find({info.st_dev, info.st_ino});
    return it != registry().end() && !it->second.expired();
}

}  // namespace vocarix::file_sets
