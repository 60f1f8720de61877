#include "common/SystemError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <typeinfo>

namespace {

// "<message>: <strerror>", code 0 standing for errno; a class of its own for 1, 2, 4, 10, 11.
TEST(SystemError, ComposesTheMessageAndThrowSystemErrorPicksTheClassByCode) {
    errno = EINTR;
    const kelmo::SystemError error("sigaction");  // code 0: the current errno
    EXPECT_EQ(error.code(), EINTR);
    EXPECT_EQ(error.what(), std::string("sigaction: ") + std::strerror(EINTR));
    EXPECT_STREQ(kelmo::SystemError("", EBADF).what(), std::strerror(EBADF));
    EXPECT_THROW(kelmo::throwSystemError("x", 1), kelmo::ExSystemError<1>);
    EXPECT_THROW(kelmo::throwSystemError("x", 2), kelmo::ExSystemError<2>);
    EXPECT_THROW(kelmo::throwSystemError("x", 4), kelmo::ExSystemError<4>);
    EXPECT_THROW(kelmo::throwSystemError("x", 10), kelmo::ExSystemError<10>);
    EXPECT_THROW(kelmo::throwSystemError("x", 11), kelmo::ExSystemError<11>);
    for (const int code : {EACCES, 0}) {
        errno = ENOSPC;  // what code 0 stands for
        try {
            kelmo::throwSystemError("x", code);
        } catch (const kelmo::SystemError& error) {
            EXPECT_EQ(typeid(error), typeid(kelmo::SystemError)) << code;
            EXPECT_EQ(error.code(), code == 0 ? ENOSPC : code);
        }
    }
}

}  // namespace
