#include "common/SystemError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <typeindex>
#include <utility>

namespace {

// "<message>: <strerror>", code 0 standing for errno; a class of its own for 1, 2, 4, 10, 11.
TEST(SystemError, ComposesTheMessageAndThrowSystemErrorPicksTheClassByCode) {
    errno = EINTR;
    const kelmo::SystemError error("sigaction");  // code 0: the current errno
    EXPECT_EQ(error.code(), EINTR);
    EXPECT_EQ(error.what(), std::string("sigaction: ") + std::strerror(EINTR));
    EXPECT_STREQ(kelmo::SystemError("", EBADF).what(), std::strerror(EBADF));
    const std::pair<int, std::type_index> classes[] = {{1, typeid(kelmo::ExSystemError<1>)},
        {2, typeid(kelmo::ExSystemError<2>)}, {4, typeid(kelmo::ExSystemError<4>)},
        {10, typeid(kelmo::ExSystemError<10>)}, {11, typeid(kelmo::ExSystemError<11>)},
        {EACCES, typeid(kelmo::SystemError)}, {0, typeid(kelmo::SystemError)}};
    for (const auto& [code, type] : classes) {
        errno = ENOSPC;  // what code 0 stands for
        try {
            kelmo::throwSystemError("x", code);
            ADD_FAILURE() << code << " not thrown";
        } catch (const kelmo::SystemError& error) {
            EXPECT_EQ(std::type_index(typeid(error)), type) << code;
            EXPECT_EQ(error.code(), code == 0 ? ENOSPC : code);
        }
    }
}

}  // namespace
