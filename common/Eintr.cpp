#include "common/Eintr.h"

#include <unistd.h>

namespace kelmo {

int closeNoInt(int fd) noexcept {
    if (::close(fd) == 0 || errno == EINTR) {
        return 0;
    }
    return -1;
}

void closeQuietly(int fd) noexcept {
    const int saved = errno;
    (void)closeNoInt(fd);
    errno = saved;
}

}  // namespace kelmo
