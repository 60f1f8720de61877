#include "mail/postfix/FileLock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>

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

// A signal whose handler is installed without SA_RESTART ends a wait, bounded or not, with
// EINTR. The lock is held by a child for a few seconds: a resumed wait would then succeed.
TEST(FileLockTest, AnAlarmEndsTheWait) {
    MailConfig tmp;
    const std::string path = tmp.mainCfPath;
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        const int fd = open(path.c_str(), O_RDONLY);
        _exit(flock(fd, LOCK_EX) == 0 && write(ready[1], "", 1) == 1 && sleep(4) == 0 ? 0 : 1);
    }
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    struct sigaction action {
    }, previous{};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    for (const int seconds : {-1, 30}) {
        alarm(1);
        try {
            FileLock lock(path, FileLock::Literal, FileLock::Blocking, seconds);
            ADD_FAILURE() << "the wait went on after the alarm, limit " << seconds;
        } catch (const kelmo::ExSystemError<EINTR>& e) {
            EXPECT_STREQ(e.what(), "lock() failed: Interrupted system call");
        }
    }
    sigaction(SIGALRM, &previous, nullptr);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    kelmo::closeNoInt(ready[0]), kelmo::closeNoInt(ready[1]);
}

}  // namespace
