#include "sysutil/lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstring>
#include <memory>

#include "helpers/stream_capture.h"

namespace {

// Per test a fresh tmpfs on /var/lock, in a mount namespace of this process alone.
class Lock : public ::testing::Test {
protected:
    void SetUp() override {
        static const bool ok = ::unshare(CLONE_NEWNS) == 0 &&
                               ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
        ASSERT_TRUE(ok) << "no private mount namespace (needs root)";
        ASSERT_EQ(::mount("tmpfs", "/var/lock", "tmpfs", 0, nullptr), 0) << std::strerror(errno);
        ASSERT_EQ(::mkdir(LOCK_FILES_DIR, 0755), 0);
    }
};

// A child holds the lock for 3 s and writes "R" just before it ends: an alarm (no SA_RESTART)
// ends a blocking and a bounded wait with EINTR, where a resumed wait would get the lock. The
// file is named by md5sum of the name. (A busy lock with no time left: the tool's -w 0 row.)
TEST_F(Lock, SignalsEndTheWaitForAHeldLock) {
    const char* name = "/etc/postfix/main.cf";
    int events[2];
    ASSERT_EQ(::pipe2(events, O_NONBLOCK), 0);
    testsupport::flushAll();
    const pid_t holder = ::fork();
    if (holder == 0) {
        const bool held = lock_is_held(lock_wait(name, 1)) && ::write(events[1], "H", 1) == 1;
        ::_exit(held && ::sleep(3) == 0 && ::write(events[1], "R", 1) == 1 ? 0 : 1);
    }
    char byte = 0;
    while (::read(events[0], &byte, 1) != 1) ::usleep(1000);
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
    EXPECT_EQ(::read(events[0], &byte, 1), 1);
    EXPECT_EQ(byte, 'R') << "the lock was taken while the child held it";
    EXPECT_STREQ(mine->path, LOCK_FILES_DIR "/7963c3b4b0754641744c1ae241e19575");
    EXPECT_EQ(lock_release(mine), 0);
    int status = -1;
    EXPECT_EQ(::waitpid(holder, &status, 0), holder);
    EXPECT_EQ(status, 0);
    ::close(events[0]), ::close(events[1]);
}

// A planted link, a lock directory that someone else could change, and a missing
// one; each set-up runs in /var/lock on the directory SetUp made (0755, ours).
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
        ASSERT_EQ(std::system(("cd /var/lock && " + c.setup).c_str()), 0) << c.setup;
        const auto result = testsupport::runInChild([] {
            errno = 0;
            return lock_wait("", 1)->fd == -1 ? errno : 100;
        });
        const std::string expected = c.text + "\nSystem error " + std::to_string(c.error) + ": " +
                                     std::strerror(c.error) + "\n";
        EXPECT_TRUE(result.exitedWith(c.error)) << c.setup << " " << result.status;
        EXPECT_EQ(result.err + result.out, expected + expected) << c.setup;
        EXPECT_TRUE(c.error != EPERM || ::access(path.c_str(), F_OK) != 0) << c.setup;
    }
    std::ifstream victim("/var/lock/victim");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(victim), {}), "precious\n");
}

// With 0 free, open() returns it; a handle with fd 0 reads "held elsewhere" and
// release would leave the lock held for good.
TEST_F(Lock, ClosedStandardInputNeverCarriesTheLock) {
    const auto result = testsupport::runInChild([] {
        ::close(0);
        lock_handle* held = lock_wait("x", 1);
        const bool ok = held->fd > 0 && lock_is_held(held) && lock_release(held) == 0;
        return ok && lock_try("x", 1)->fd > 0 ? 0 : 1;
    });
    EXPECT_TRUE(result.exitedWith(0)) << result.status;
}

// flock needs only a read-only descriptor: a lock file others can open is a lock they can hold
// for ever. A new one, and one an older version left 0644, are the owner's alone after a lock.
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

}  // namespace
