#include "mail/postfix/FileMode.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/Eintr.h"

namespace kelmo::mail::postfix {

std::optional<FileMode> FileMode::of(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
        return std::nullopt;
    }
    return FileMode{path, static_cast<mode_t>(status.st_mode & 07777), status.st_uid,
                    status.st_gid};
}

std::string FileMode::putBack() const {
    // O_NONBLOCK: a FIFO put in the file's place must not stall the run
    // under the lock.
    const int fd = retryNoInt(::open, path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return std::string("open: ") + std::strerror(errno);
    }
    struct stat status {};
    std::string failure;
    if (::fstat(fd, &status) != 0) {
        failure = std::string("fstat: ") + std::strerror(errno);
    } else if (!S_ISREG(status.st_mode)) {
        failure = "not a regular file";
    } else if (::fchown(fd, owner, group) != 0) {
        failure = std::string("fchown: ") + std::strerror(errno);
    } else if (::fchmod(fd, mode) != 0) {
        failure = std::string("fchmod: ") + std::strerror(errno);
    }
    closeQuietly(fd);
    return failure;
}

}  // namespace kelmo::mail::postfix
