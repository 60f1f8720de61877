#include "tool/StandardOutput.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace tarnwick {

int finishStandardOutput(int status) {
    // A write that failed before left the stream bad and its errno behind:
    // a bad stream writes nothing more.
    const int earlier = errno;
    if (std::cout && std::fflush(stdout) == 0) {
        return status;
    }
    const int error = std::cout ? errno : earlier;
    std::cerr << "tarnwick: write error: " << std::strerror(error) << std::endl;
    return status == 0 ? 1 : status;
}

}  // namespace tarnwick
