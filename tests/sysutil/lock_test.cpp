#include "sysutil/lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>

#include "helpers/stream_capture.h"

// Per test a fresh tmpfs on /var/lock, in a mount namespace of this process alone.
struct Lock : ::testing::Test {
    void SetUp() override {
        static const bool ok = ::unshare(CLONE_NEWNS) == 0 &&
                               ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        ASSERT_TRUE(ok) << "no private mount namespace (needs root)";
        ASSERT_EQ(::mount("tmpfs", "/var/lock", "tmpfs", 0, nullptr), 0) << std::strerror(errno);
        ASSERT_EQ(::mkdir(LOCK_FILES_DIR, 0755), 0);
    }
};

// An alarm (no SA_RESTART) ends a blocking and a bounded wait for a lock held elsewhere with
// EINTR. (A busy lock with no time left: the tool's -w 0 row.)
TEST_F(Lock, SignalsEndTheWaitForAHeldLock) {
    const char* name = "/etc/postfix/main.cf";
    const std::string path = LOCK_FILES_DIR "/7963c3b4b0754641744c1ae241e19575";  // md5sum
    // Held for 3 s, R printed just before the end: a resumed wait would get the lock.
    FILE* holder = ::popen(("flock " + path + " sh -c 'echo H; sleep 3; echo R'").c_str(), "r");
    char said[3] = {};
    ASSERT_EQ(::read(::fileno(holder), said, 2), 2);  // "H\n": held
    ::fcntl(::fileno(holder), F_SETFL, O_NONBLOCK);  // R has to be there once the lock is ours
    struct sigaction action {}, previous{};
    action.sa_handler = [](int) {};
    ASSERT_EQ(::sigaction(SIGALRM, &action, &previous), 0);
    for (const bool bounded : {false, true}) {
        ::alarm(1);
        errno = 0;
        lock_handle* interrupted = bounded ? lock_wait_for(name, 1, 30000) : lock_wait(name, 1);
        EXPECT_EQ(std::make_pair(interrupted->fd, errno), std::make_pair(-1, EINTR)) << bounded;
        lock_release(interrupted);
    }
    ::sigaction(SIGALRM, &previous, nullptr);
    lock_handle* mine = lock_wait(name, 1);
    EXPECT_EQ(::read(::fileno(holder), said, 2), 2) << "the lock was taken while flock held it";
    EXPECT_STREQ(said, "R\n");
    EXPECT_STREQ(mine->path, path.c_str());
    EXPECT_EQ(lock_release(mine), 0);
    EXPECT_EQ(::pclose(holder), 0);
}

// A planted link, an unsafe or missing lock directory: fd -1, errno and the message twice.
TEST_F(Lock, RefusedOpenGivesMinusOneErrnoAndTheMessageOnBothStreams) {
    const std::string path = LOCK_FILES_DIR "/d41d8cd98f00b204e9800998ecf8427e";  // the empty name
    const std::string refused = "Unable to open file \"" + path + "\": ";
    const std::string unsafe = "Refusing lock directory \"" LOCK_FILES_DIR
                               "\": it must be a directory owned by root or by this user and "
                               "writable by no one else.";
    std::ofstream("/var/lock/victim") << "precious\n";
    const struct { std::string setup; int error; std::string text; } cases[] = {
        {"ln -s /var/lock/victim " + path, ELOOP, refused + std::strerror(ELOOP) + "."},
        {"rm " + path + "; chmod 775 files", EPERM, unsafe},
        {"chmod 755 files; chown 4321 files", EPERM, unsafe},
        {"mkdir -m 755 real; rmdir files; ln -s real files", EPERM, unsafe},
        {"rm files; touch files", EPERM, unsafe},
        {"rm files", ENOENT, refused + std::strerror(ENOENT) + "."},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(std::system(("cd /var/lock && " + c.setup).c_str()), 0) << c.setup;  // in turn
        const auto result = testsupport::runInChild(
            [] { return errno = 0, lock_wait("", 1)->fd == -1 ? errno : 100; });
        const std::string expected = c.text + "\nSystem error " + std::to_string(c.error) + ": " +
                                     std::strerror(c.error) + "\n";
        EXPECT_TRUE(result.exitedWith(c.error)) << c.setup << " " << result.status;
        EXPECT_EQ(result.err + result.out, expected + expected) << c.setup;
        EXPECT_TRUE(c.error != EPERM || ::access(path.c_str(), F_OK) != 0) << c.setup;
    }
    EXPECT_EQ(std::system("grep -qx precious /var/lock/victim"), 0);  // not truncated
}

// A lock file opened as 0 is moved: a handle's fd 0 means "held elsewhere", never released.
TEST_F(Lock, ClosedStandardInputNeverCarriesTheLock) {
    const auto result = testsupport::runInChild([] {
        ::close(0);
        lock_handle* held = lock_wait("x", 1);
        const bool ok = held->fd > 0 && lock_is_held(held) && lock_release(held) == 0;
        return ok && lock_try("x", 1)->fd > 0 ? 0 : 1;
    });
    EXPECT_TRUE(result.exitedWith(0)) << result.status;
}

// New and older 0644 hashed lock files are the owner's alone once locked: flock needs only a
// read-only descriptor, so one that others can open is a lock they can hold for ever.
TEST_F(Lock, OthersCannotOpenAHashedLockFileOnceLocked) {
    const std::string nobody = "runuser -u nobody -- sh -c 'exec 9<\"$0\"' 2>/dev/null ";
    const std::unique_ptr<char, decltype(&std::free)> old(lock_path("old"), &std::free);
    const int fd = ::open(old.get(), O_CREAT | O_WRONLY, 0644);
    ASSERT_TRUE(fd > 0 && ::fchmod(fd, 0644) == 0 && ::close(fd) == 0);
    ASSERT_EQ(std::system((nobody + old.get()).c_str()), 0) << "nobody cannot open it anyway";
    for (const char* name : {"old", "new"}) {
        EXPECT_EQ(lock_release(lock_wait(name, 1)), 0) << name;
        const std::unique_ptr<char, decltype(&std::free)> path(lock_path(name), &std::free);
        EXPECT_NE(std::system((nobody + path.get()).c_str()), 0) << name;
    }
}
