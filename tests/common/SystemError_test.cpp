#include "common/SystemError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <typeindex>
#include <utility>

// "<message>: <strerror>", code 0 standing for errno; a class of its own for 1, 2, 4, 10, 11.
TEST(SystemError, ComposesTheMessageAndThrowSystemErrorPicksTheClassByCode) {
    EXPECT_STREQ(kelmo::SystemError("", EBADF).what(), std::strerror(EBADF));
    const std::pair<int, std::type_index> classes[] = {{1, typeid(kelmo::ExSystemError<1>)},
        {2, typeid(kelmo::ExSystemError<2>)}, {4, typeid(kelmo::ExSystemError<4>)},
        {10, typeid(kelmo::ExSystemError<10>)}, {11, typeid(kelmo::ExSystemError<11>)},
        {EACCES, typeid(kelmo::SystemError)}, {0, typeid(kelmo::SystemError)}};
    for (const auto& [code, type] : classes) {
        errno = ENOSPC;  // what code 0 stands for
        try {
            kelmo::throwSystemError("x", code);  // [[noreturn]]: nothing after it would run
        } catch (const kelmo::SystemError& error) {
            EXPECT_EQ(std::type_index(typeid(error)), type) << code;
            EXPECT_EQ(error.code(), code == 0 ? ENOSPC : code);
            EXPECT_EQ(error.what(), "x: " + std::string(std::strerror(error.code())));
        }
    }
}
