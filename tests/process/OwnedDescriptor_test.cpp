#include "process/OwnedDescriptor.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/SystemError.h"
#include "process/PipePair.h"

using kelmo::SystemError;
using kelmo::process::OwnedDescriptor;
using kelmo::process::PipePair;

namespace {

bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

// A descriptor number that is not open, so closing it fails with EBADF.
int notOpen() {
    const int fd = ::open("/dev/null", O_RDONLY);
    ::close(fd);
    return fd;
}

const std::string BADF = std::string(": ") + std::strerror(EBADF);

}  // namespace

TEST(OwnedDescriptor, ClosesOnlyWhatItOwns) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    {
        OwnedDescriptor owner, borrower;
        owner.own(fds[0]);
        borrower.borrow(fds[1]);
        EXPECT_EQ(borrower.owned(), -1);
        EXPECT_EQ(borrower.inUse(), fds[1]);
    }
    EXPECT_FALSE(isOpen(fds[0]));
    EXPECT_TRUE(isOpen(fds[1]));
    OwnedDescriptor owner;
    owner.own(fds[1]);
    const int other = ::dup(fds[1]);
    owner.own(other);  // closes fds[1] first
    EXPECT_FALSE(isOpen(fds[1]));
    EXPECT_EQ(owner.release(), other);
    EXPECT_EQ(owner.inUse(), -1);
    EXPECT_TRUE(isOpen(other));
    ::close(other);
}

TEST(OwnedDescriptor, FailedCloseThrowsUnlessAnExceptionIsPropagating) {
    OwnedDescriptor explicitClose;
    explicitClose.own(notOpen());
    try {
        explicitClose.close();
        ADD_FAILURE();
    } catch (const SystemError& e) {
        EXPECT_EQ(std::string(e.what()), "close" + BADF);
        EXPECT_EQ(e.code(), EBADF);
    }
    EXPECT_EQ(explicitClose.owned(), -1);
    EXPECT_EQ(explicitClose.inUse(), -1);

    EXPECT_THROW(
        {
            OwnedDescriptor d;
            d.own(notOpen());
        },
        SystemError);

    try {
        OwnedDescriptor d;
        d.own(notOpen());
        errno = EXDEV;
        throw std::runtime_error("first");
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "first");  // not the close failure
        EXPECT_EQ(errno, EXDEV);
    }
}

TEST(PipePair, WriteEndFailureStillClosesTheReadEnd) {
    int readEnd = -1;
    try {
        {
            PipePair pair;
            pair.create("pipe");
            readEnd = pair.readEnd.inUse();
            const int writeEnd = pair.writeEnd.release();
            ::close(writeEnd);
            pair.writeEnd.own(writeEnd);  // no longer open: its close fails
        }
        ADD_FAILURE() << "no exception from the pair";
    } catch (const SystemError& e) {
        EXPECT_EQ(std::string(e.what()), "pipe read-end close" + BADF);
        EXPECT_EQ(e.code(), EBADF);
    }
    EXPECT_NE(readEnd, -1);
    EXPECT_FALSE(isOpen(readEnd));

    try {
        PipePair pair;
        pair.create("pipe");
        readEnd = pair.readEnd.inUse();
        pair.writeEnd.own(notOpen());  // closes the real write end first
        throw std::runtime_error("first");
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "first");
    }
    EXPECT_FALSE(isOpen(readEnd));
}
