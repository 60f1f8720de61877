#include "common/SystemError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "mail/postfix/PostfixError.h"

namespace {

using kelmo::ExSystemError;
using kelmo::SystemError;

TEST(SystemError, ComposesMessageWithSystemTextOnce) {
    errno = EINTR;
    SystemError error("sigaction");
    EXPECT_EQ(error.code(), EINTR);
    const std::string expected = std::string("sigaction: ") + std::strerror(EINTR);
    EXPECT_EQ(error.what(), expected);
    // The cached text is returned again, from the same storage.
    EXPECT_EQ(error.what(), error.what());

    SystemError bare("", EBADF);
    EXPECT_STREQ(bare.what(), std::strerror(EBADF));

    // A copy composes the same text independently.
    SystemError copy = error;
    EXPECT_EQ(copy.what(), expected);
    EXPECT_EQ(copy.code(), EINTR);
}

template <int N>
void expectThrowsTyped() {
    try {
        kelmo::throwSystemError("lock() failed", N);
        FAIL() << "throwSystemError returned";
    } catch (const ExSystemError<N>& error) {
        EXPECT_EQ(error.code(), N);
        EXPECT_EQ(std::string(error.what()), std::string("lock() failed: ") + std::strerror(N));
    }
}

TEST(SystemError, ThrowSystemErrorPicksClassByCode) {
    expectThrowsTyped<1>();
    expectThrowsTyped<2>();
    expectThrowsTyped<4>();
    expectThrowsTyped<10>();
    expectThrowsTyped<11>();

    // Code 11 is also a SystemError and a runtime_error.
    EXPECT_THROW(kelmo::throwSystemError("x", 11), SystemError);
    EXPECT_THROW(kelmo::throwSystemError("x", 11), std::runtime_error);

    try {
        kelmo::throwSystemError("lock() failed", EACCES);
    } catch (const ExSystemError<1>&) {
        FAIL() << "EACCES must not map to a typed class";
    } catch (const SystemError& error) {
        EXPECT_EQ(error.code(), EACCES);
    }

    errno = ENOSPC;
    try {
        kelmo::throwSystemError("lock() failed", 0);
    } catch (const SystemError& error) {
        EXPECT_EQ(error.code(), ENOSPC);
    }
}

TEST(PostfixError, ConfigurationErrorIsAPostfixErrorWithPlainMessage) {
    try {
        throw kelmo::mail::postfix::PostfixConfigurationError("unknown error");
    } catch (const kelmo::mail::postfix::PostfixError& error) {
        EXPECT_STREQ(error.what(), "unknown error");
    }
    EXPECT_THROW(throw kelmo::mail::postfix::PostfixConfigurationError("x"), std::runtime_error);
}

}  // namespace
