#include "document/replacement_file.hpp"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>
#include <system_error>

#include "document/file_descriptor.hpp"

namespace vocarix {
namespace {

constexpr std::string_view kTemporaryRandom = "XXXXXX";

[[noreturn]] void throw_errno(int error) { throw std::system_error(error, std::generic_category()); }

}  // namespace

std::string file_name_of(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string directory_of(const std::string& path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

mode_t new_file_mode() {
    mode_t mask = 022;
    if (FILE* status = std::fopen("/proc/self/status", "re")) {
        char line[256];
        while (std::fgets(line, sizeof line, status))
            if (std::sscanf(line, "Umask: %o", &mask) == 1) break;
        std::fclose(status);
    }
    return 0666 & ~mask;
}

std::string temporary_path_for(const std::string& target, std::string_view mark) {
    std::string directory = directory_of(target);
    long name_max = ::pathconf(directory.c_str(), _PC_NAME_MAX);
    if (name_max <= 0) name_max = NAME_MAX;
    std::size_t fixed = 1 + mark.size() + kTemporaryRandom.size();
    std::size_t room = static_cast<std::size_t>(name_max) > fixed ? static_cast<std::size_t>(name_max) - fixed : 0;
    std::string name = file_name_of(target);
    if (name.size() > room) {
        std::size_t cut = room;
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
        name.resize(cut);
    }
    return (target.find('/') == std::string::npos ? std::string() : directory + "/") + "." + name + std::string(mark) +
           std::string(kTemporaryRandom);
}

ReplacementFile::ReplacementFile(std::string target, const struct stat* existing)
    : target_(std::move(target)), temporary_(temporary_path_for(target_)) {
    fd_ = ::mkostemp(temporary_.data(), O_CLOEXEC);
    if (fd_ < 0) throw_errno(errno);
    if (existing) {
        ::fchmod(fd_, existing->st_mode & 07777);
        if (::fchown(fd_, existing->st_uid, existing->st_gid) != 0) {
            // Only privileged processes may give a file away; the mode still matches.
        }
    } else {
        ::fchmod(fd_, new_file_mode());
    }
}

ReplacementFile::~ReplacementFile() {
    if (fd_ >= 0) ::close(fd_);
    // Only the file this object made is removed; other processes' files stay.
    if (!committed_) ::unlink(temporary_.c_str());
}

void ReplacementFile::commit() {
    int error = 0;
    if (::fdatasync(fd_) != 0) error = errno;
    if (::close(std::exchange(fd_, -1)) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temporary_.c_str(), target_.c_str()) != 0) error = errno;
    if (error != 0) throw_errno(error);
    committed_ = true;
    FileDescriptor directory(::open(directory_of(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() >= 0) ::fsync(directory.get());
}

}  // namespace vocarix
