#include "process/OwnedDescriptor.h"

#include <fcntl.h>

#include <exception>

#include "common/Eintr.h"
#include "common/SystemError.h"

namespace kelmo::process {

OwnedDescriptor::~OwnedDescriptor() noexcept(false) {
    if (std::uncaught_exceptions() > 0) {
        closeQuietly();
    } else {
        close();
    }
}

void OwnedDescriptor::own(int fd) {
    close();
    owned_ = fd;
    inUse_ = fd;
}

void OwnedDescriptor::borrow(int fd) {
    close();
    inUse_ = fd;
}

void OwnedDescriptor::close() {
    const int fd = owned_;
    owned_ = -1;
    inUse_ = -1;
    if (fd != -1 && closeNoInt(fd) != 0) {
        throw SystemError("close");
    }
}

void OwnedDescriptor::closeQuietly() noexcept {
    if (owned_ != -1) {
        kelmo::closeQuietly(owned_);
    }
    owned_ = -1;
    inUse_ = -1;
}

void OwnedDescriptor::setNonBlocking(const std::string& failureText) {
    const int fd = inUse_;
    if (retryNoInt([fd] { return ::fcntl(fd, F_SETFL, O_NONBLOCK); }) != 0) {
        throw SystemError(failureText);
    }
}

int OwnedDescriptor::release() noexcept {
    const int fd = owned_;
    owned_ = -1;
    inUse_ = -1;
    return fd;
}

}  // namespace kelmo::process
