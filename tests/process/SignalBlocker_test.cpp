#include "process/SignalBlocker.h"

#include <signal.h>

#include <stdexcept>

#include <gtest/gtest.h>

namespace {

using kelmo::process::SignalBlocker;

bool blocked(int signal) {
    sigset_t mask;
    sigprocmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, signal) == 1;
}

TEST(SignalBlockerTest, RestoresTheMaskFromBeforeTheFirstBlock) {
    ASSERT_FALSE(blocked(SIGUSR1));
    ASSERT_FALSE(blocked(SIGUSR2));
    {
        SignalBlocker blocker;
        EXPECT_FALSE(blocker.active());
        blocker.block(SIGUSR1);
        blocker.block(SIGUSR2);
        EXPECT_TRUE(blocker.active());
        EXPECT_TRUE(blocked(SIGUSR1));
        EXPECT_TRUE(blocked(SIGUSR2));
    }
    EXPECT_FALSE(blocked(SIGUSR1));
    EXPECT_FALSE(blocked(SIGUSR2));
}

TEST(SignalBlockerTest, KeepsWhatTheCallerHadBlocked) {
    SignalBlocker outer;
    outer.block(SIGUSR1);
    {
        SignalBlocker inner;
        inner.block(SIGUSR1);
        inner.block(SIGUSR2);
    }
    EXPECT_TRUE(blocked(SIGUSR1));
    EXPECT_FALSE(blocked(SIGUSR2));
}

TEST(SignalBlockerTest, RestoresDuringUnwinding) {
    try {
        SignalBlocker blocker;
        blocker.block(SIGUSR2);
        throw std::runtime_error("leave");
    } catch (const std::runtime_error&) {
    }
    EXPECT_FALSE(blocked(SIGUSR2));
}

TEST(SignalBlockerTest, RejectsAnInvalidSignal) {
    SignalBlocker blocker;
    EXPECT_THROW(blocker.block(1000), std::runtime_error);
    EXPECT_FALSE(blocker.active());
}

}  // namespace
