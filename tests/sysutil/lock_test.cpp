#include "sysutil/lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

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

bool waitsForFlock(pid_t pid) {  // "->" lines of /proc/locks are blocked requests
    std::ifstream locks("/proc/locks");
    const std::string owner = " " + std::to_string(pid) + " ";
    for (std::string line; std::getline(locks, line);)
        if (line.find("-> FLOCK") != line.npos && line.find(owner) != line.npos) return true;
    return false;
}

TEST_F(Lock, SecondProcessBlocksUntilTheFirstReleases) {
    lock_handle* mine = lock_wait("/etc/postfix/main.cf", 1);
    ASSERT_GT(mine->fd, 0);
    EXPECT_STREQ(mine->path, LOCK_FILES_DIR "/7963c3b4b0754641744c1ae241e19575");  // by md5sum
    int events[2];  // both processes append to it: it records the order of events
    ASSERT_EQ(::pipe(events), 0);
    testsupport::flushAll();
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(mine->fd);  // our open file description would keep our lock alive
        lock_handle* theirs = lock_wait("/etc/postfix/main.cf", 1);
        (void)::write(events[1], lock_is_held(theirs) ? "L" : "F", 1);
        ::_exit(lock_release(theirs) == 0 ? 0 : 1);
    }
    bool waiting = false;
    for (int i = 0; i < 1000 && !(waiting = waitsForFlock(child)); ++i) ::usleep(10000);
    EXPECT_TRUE(waiting) << "the second lock_wait did not block";
    errno = 0;
    lock_handle* busy = lock_try("/etc/postfix/main.cf", 1);
    EXPECT_EQ(busy->fd, 0);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(lock_release(busy), 0);
    (void)::write(events[1], "R", 1);
    EXPECT_EQ(lock_release(mine), 0);
    ::close(events[1]);
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(testsupport::readWholeFile(events[0]), "RL");
    ::close(events[0]);
}

TEST_F(Lock, OpeningTruncatesAndCreatesMode0644WithoutCloseOnExec) {
    const mode_t mask = ::umask(0);
    std::ofstream("/var/lock/stale") << "stale content\n";
    lock_handle* stale = lock_wait("/var/lock/stale", 0);
    lock_handle* fresh = lock_wait("abc", 1);
    ::umask(mask);
    struct stat info;
    ASSERT_EQ(::fstat(stale->fd, &info), 0);
    EXPECT_EQ(info.st_size, 0);
    ASSERT_EQ(::fstat(fresh->fd, &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    EXPECT_EQ(::fcntl(fresh->fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_STREQ(fresh->path, LOCK_FILES_DIR "/900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(lock_release(stale) + lock_release(fresh), 0);
}

// A planted link, a lock directory that someone else could change, and a missing one.
TEST_F(Lock, RefusedOpenGivesMinusOneErrnoAndTheMessageOnBothStreams) {
    const std::string path = LOCK_FILES_DIR "/d41d8cd98f00b204e9800998ecf8427e";  // the empty name
    const std::string refused = "Unable to open file \"" + path + "\": ";
    const std::string unsafe = "Refusing lock directory \"" LOCK_FILES_DIR
                               "\": it must be a directory owned by root or by this user and "
                               "writable by no one else.";
    std::ofstream("/var/lock/victim") << "precious\n";
    // Each set-up runs in /var/lock on the directory SetUp made (0755, ours).
    const struct {
        std::string setup;
        int error;
        std::string text;
    } cases[] = {
        {"ln -s /var/lock/victim " + path, ELOOP, refused + std::strerror(ELOOP) + "."},
        {"rm " + path + "; chmod 775 files", EPERM, unsafe},
        {"chmod 1757 files", EPERM, unsafe},
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
        EXPECT_EQ(result.err, expected) << c.setup;
        EXPECT_EQ(result.out, expected) << c.setup;
        if (c.error == EPERM) {
            EXPECT_NE(::access(path.c_str(), F_OK), 0) << c.setup;
        }
    }
    std::ifstream victim("/var/lock/victim");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(victim), {}), "precious\n");
    EXPECT_NE(::access(LOCK_FILES_DIR, F_OK), 0) << "the routines created the directory";
}

TEST_F(Lock, ClosedStandardInputNeverCarriesTheLock) {
    // With 0 free, open() returns it; a handle with fd 0 reads "held elsewhere"
    // and release would leave the lock held for good.
    const auto result = testsupport::runInChild([] {
        ::close(0);
        lock_handle* held = lock_wait("x", 1);
        const bool ok = held->fd > 0 && lock_is_held(held) && lock_release(held) == 0;
        lock_handle* again = lock_try("x", 1);  // free again after release
        return ok && again->fd > 0 ? 0 : 1;
    });
    EXPECT_TRUE(result.exitedWith(0)) << result.status;
}

}  // namespace
