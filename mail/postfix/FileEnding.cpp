#include "mail/postfix/FileEnding.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/Eintr.h"
#include "common/SystemError.h"
#include "process/OwnedDescriptor.h"

namespace kelmo::mail::postfix {

bool endsWithoutNewline(const std::string& path) {
    const int fd = retryNoInt(::open, path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    process::OwnedDescriptor file;
    file.own(fd);
    struct stat status {};
    if (::fstat(file.inUse(), &status) < 0) {
        throwSystemError("fstat " + path, errno);
    }
    char last = '\n';
    if (status.st_size > 0 && retryNoInt(::pread, file.inUse(), &last, 1, status.st_size - 1) < 0) {
        throwSystemError("read " + path, errno);
    }
    return last != '\n';
}

}  // namespace kelmo::mail::postfix
