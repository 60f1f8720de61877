#include "mail/postfix/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <thread>
#include <typeinfo>

#include "common/Eintr.h"
#include "common/SystemError.h"
#include "tool/ToolHarness.h"

namespace {

using kelmo::FileLock;
using namespace tarnwick_test;

// Whether somebody holds an exclusive flock on path, asked through a descriptor of our own.
bool heldElsewhere(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY);
    const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    kelmo::closeQuietly(fd);
    return held;
}

TEST(FileLockTest, LiteralLockFailsAtOnceWaitsAndHoldsForItsScope) {
    MailConfig tmp;
    const std::string path = tmp.mainCfPath, marker = tmp.root + "/released";
    const int holder = open(path.c_str(), O_RDONLY);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    try {
        FileLock lock(path, FileLock::Literal, FileLock::NonBlocking);
        ADD_FAILURE() << "a held lock was taken";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(typeid(e), typeid(std::runtime_error));
        EXPECT_EQ(e.what(), "lock(" + path + ") failed: file is already locked");
    }
    std::thread release([&] {
        usleep(300 * 1000);
        std::ofstream(marker) << "released";
        kelmo::closeNoInt(holder);
    });
    {
        FileLock lock(path, FileLock::Literal, FileLock::Blocking);
        EXPECT_EQ(slurp(marker), "released");
        EXPECT_TRUE(heldElsewhere(path));
    }
    release.join();
    EXPECT_FALSE(heldElsewhere(path));
    EXPECT_THROW(FileLock(path, FileLock::Literal, static_cast<FileLock::LockWait>(2)),
                 std::logic_error);
    // Hashed names and a missing directory are tried end to end in tests/tool.
    EXPECT_THROW(FileLock(tmp.root + "/none/x", FileLock::Literal, FileLock::NonBlocking),
                 kelmo::ExSystemError<ENOENT>);
}

}  // namespace
