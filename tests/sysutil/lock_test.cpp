#include "sysutil/lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "helpers/stream_capture.h"

namespace {

using testsupport::StdStreamsCapture;

const std::string kDir = LOCK_FILES_DIR;

std::string fileContent(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

bool exists(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0;
}

// Every test runs on a fresh tmpfs mounted on /var/lock in a mount namespace
// of this test process alone, so the host's lock directory is never touched
// and tests may remove /var/lock/files at will.
class LockTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static bool done = false;
        if (done || !setupError_.empty()) {
            return;
        }
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            setupError_ = std::string("private mount namespace: ") + std::strerror(errno);
            return;
        }
        done = true;
    }

    void SetUp() override {
        if (!setupError_.empty()) {
            GTEST_SKIP() << setupError_ << " (needs root)";
        }
        ASSERT_EQ(::mount("tmpfs", "/var/lock", "tmpfs", 0, "mode=0755"), 0) << std::strerror(errno);
        mounted_ = true;
        ASSERT_EQ(::mkdir(kDir.c_str(), 0755), 0);
    }

    void TearDown() override {
        if (mounted_) {
            ::umount2("/var/lock", MNT_DETACH);
        }
    }

    static std::string setupError_;
    bool mounted_ = false;
};

std::string LockTest::setupError_;

// Digests computed with md5sum when these tests were written.
struct DigestCase {
    const char* name;
    const char* digest;
};
const DigestCase kDigests[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"tarnwick", "f1b736610cba519cfcb74a1ab5802728"},
    {"/etc/postfix/main.cf", "7963c3b4b0754641744c1ae241e19575"},
    {"a b,c", "4b7035eeb0aabf0fe10bf88a2ca0ab5c"},
};

TEST_F(LockTest, HashedNameIsTheMd5OfTheName) {
    for (const DigestCase& c : kDigests) {
        char digits[33];
        std::memset(digits, '#', sizeof digits);
        md5_hex("", c.name, digits);
        EXPECT_STREQ(digits, c.digest) << '"' << c.name << '"';
        md5_hex(nullptr, c.name, digits);
        EXPECT_STREQ(digits, c.digest) << '"' << c.name << '"';

        char* path = lock_path(c.name);
        ASSERT_NE(path, nullptr);
        EXPECT_EQ(std::string(path), kDir + "/" + c.digest);
        std::free(path);

        lock_handle* handle = lock_wait(c.name, 1);
        ASSERT_NE(handle, nullptr);
        EXPECT_GT(handle->fd, 0) << '"' << c.name << '"';
        EXPECT_EQ(std::string(handle->path), kDir + "/" + c.digest);
        EXPECT_TRUE(exists(kDir + "/" + c.digest));
        EXPECT_EQ(lock_release(handle), 0);
    }
}

TEST_F(LockTest, DigestCoversPrefixThenText) {
    struct Case {
        const char* prefix;
        const char* text;
        const char* digest;
    };
    const Case cases[] = {
        {"ab", "c", "900150983cd24fb0d6963f7d28e17f72"},
        {"abc", nullptr, "900150983cd24fb0d6963f7d28e17f72"},
        {"abc", "", "900150983cd24fb0d6963f7d28e17f72"},
        {nullptr, nullptr, "d41d8cd98f00b204e9800998ecf8427e"},
        {"/etc/postfix", "/main.cf", "7963c3b4b0754641744c1ae241e19575"},
    };
    for (const Case& c : cases) {
        char digits[33];
        md5_hex(c.prefix, c.text, digits);
        EXPECT_STREQ(digits, c.digest);
    }
}

TEST_F(LockTest, DigestMatchesMd5sumForArbitraryText) {
    const std::string name = "/srv/mail/" + std::to_string(::getpid()) + "/main.cf";
    const std::string command = "printf '%s' '" + name + "' | md5sum";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[128] = {};
    ASSERT_NE(std::fgets(line, sizeof line, pipe), nullptr);
    ASSERT_EQ(::pclose(pipe), 0);
    char digits[33];
    md5_hex("", name.c_str(), digits);
    EXPECT_EQ(std::string(digits), std::string(line, 32));
}

// Reads one byte from fd; '\0' at end of file.
char readEvent(int fd) {
    char c = '\0';
    while (::read(fd, &c, 1) < 0 && errno == EINTR) {
    }
    return c;
}

// True once /proc/locks lists a flock request of pid that is blocked
// waiting ("->" entries are waiters).
bool isWaitingForLock(pid_t pid) {
    std::ifstream locks("/proc/locks");
    std::string line;
    const std::string pidField = " " + std::to_string(pid) + " ";
    while (std::getline(locks, line)) {
        if (line.find("->") != std::string::npos && line.find("FLOCK") != std::string::npos &&
            line.find(pidField) != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST_F(LockTest, SecondProcessWaitsUntilTheFirstReleases) {
    const char* name = "two processes";
    lock_handle* mine = lock_wait(name, 1);
    ASSERT_NE(mine, nullptr);
    ASSERT_GT(mine->fd, 0);

    // Both processes write their events into one pipe, so its content is
    // the order in which things happened.
    int events[2];
    ASSERT_EQ(::pipe(events), 0);
    testsupport::flushAll();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The inherited copy shares our open file description and would
        // keep our lock alive after we release it.
        ::close(mine->fd);
        ::close(events[0]);
        (void)::write(events[1], "S", 1);
        lock_handle* theirs = lock_wait(name, 1);
        const bool held = lock_is_held(theirs) == 1 && std::string(theirs->path) == mine->path;
        (void)::write(events[1], held ? "L" : "F", 1);
        ::_exit(lock_release(theirs) == 0 ? 0 : 1);
    }
    ::close(events[1]);
    EXPECT_EQ(readEvent(events[0]), 'S');

    // Wait (boundedly) until the kernel shows the child blocked on the lock.
    bool waiting = false;
    for (int i = 0; i < 1000 && !waiting; ++i) {
        waiting = isWaitingForLock(child);
        if (!waiting) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    EXPECT_TRUE(waiting) << "the second lock_wait never blocked";

    // A non-blocking attempt from this process conflicts as well.
    errno = 0;
    lock_handle* busy = lock_try(name, 1);
    ASSERT_NE(busy, nullptr);
    EXPECT_EQ(busy->fd, 0);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(lock_release(busy), 0);

    // The child must not have got the lock while it is ours.
    const int flags = ::fcntl(events[0], F_GETFL);
    ::fcntl(events[0], F_SETFL, flags | O_NONBLOCK);
    char early;
    EXPECT_EQ(::read(events[0], &early, 1), -1);
    EXPECT_EQ(errno, EAGAIN);
    ::fcntl(events[0], F_SETFL, flags);

    EXPECT_EQ(lock_release(mine), 0);
    EXPECT_EQ(readEvent(events[0]), 'L');
    EXPECT_EQ(readEvent(events[0]), '\0');
    ::close(events[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST_F(LockTest, TryOnANameHeldByAnotherProcessReportsBusy) {
    const char* name = "held elsewhere";
    int ready[2];
    int done[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(done), 0);
    testsupport::flushAll();
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(done[1]);
        ::close(ready[0]);
        lock_handle* theirs = lock_wait(name, 1);
        (void)::write(ready[1], lock_is_held(theirs) ? "H" : "F", 1);
        readEvent(done[0]);
        ::_exit(lock_release(theirs) == 0 ? 0 : 1);
    }
    ::close(ready[1]);
    ::close(done[0]);
    ASSERT_EQ(readEvent(ready[0]), 'H');

    errno = 0;
    lock_handle* busy = lock_try(name, 1);
    ASSERT_NE(busy, nullptr);
    EXPECT_EQ(busy->fd, 0);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(lock_is_busy(busy), 1);
    EXPECT_EQ(lock_is_held(busy), 0);
    EXPECT_EQ(lock_release(busy), 0);

    ::close(done[1]);  // lets the child release
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ::close(ready[0]);

    lock_handle* released = lock_try(name, 1);
    ASSERT_NE(released, nullptr);
    EXPECT_GT(released->fd, 0);
    EXPECT_EQ(lock_close(released), 0);
}

TEST_F(LockTest, HashedAndLiteralNamesLockDifferentFiles) {
    const std::string name = "/var/lock/literal-lock";
    lock_handle* literal = lock_wait(name.c_str(), 0);
    ASSERT_NE(literal, nullptr);
    EXPECT_GT(literal->fd, 0);
    EXPECT_EQ(std::string(literal->path), name);

    // Held together: they are two different files.
    lock_handle* hashed = lock_try(name.c_str(), 1);
    ASSERT_NE(hashed, nullptr);
    EXPECT_GT(hashed->fd, 0);
    char* expected = lock_path(name.c_str());
    EXPECT_STREQ(hashed->path, expected);
    std::free(expected);
    EXPECT_TRUE(exists(name));
    EXPECT_TRUE(exists(hashed->path));

    // Every call opens the file anew, so the same process conflicts with itself.
    lock_handle* again = lock_try(name.c_str(), 0);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->fd, 0);
    EXPECT_EQ(lock_release(again), 0);

    EXPECT_EQ(lock_release(hashed), 0);
    EXPECT_EQ(lock_release(literal), 0);
    // Releasing drops the lock but keeps the file.
    EXPECT_TRUE(exists(name));
}

TEST_F(LockTest, OpeningTruncatesWithMode0644AndNoCloseOnExec) {
    const mode_t oldMask = ::umask(0);
    for (const int16_t hashed : {int16_t{1}, int16_t{0}}) {
        const char* name = hashed ? "truncated" : "/var/lock/truncated-literal";
        char* path = hashed ? lock_path(name) : strdup(name);
        writeFile(path, "stale content\n");

        lock_handle* handle = lock_wait(name, hashed);
        ASSERT_NE(handle, nullptr);
        ASSERT_GT(handle->fd, 0);
        struct stat info;
        ASSERT_EQ(::fstat(handle->fd, &info), 0);
        EXPECT_EQ(info.st_size, 0) << path;
        EXPECT_EQ(::fcntl(handle->fd, F_GETFD) & FD_CLOEXEC, 0);
        EXPECT_EQ(fileContent(path), "");
        EXPECT_EQ(lock_release(handle), 0);

        // A file created by the lock routines gets 0644.
        ::unlink(path);
        handle = lock_try(name, hashed);
        ASSERT_NE(handle, nullptr);
        ASSERT_GT(handle->fd, 0);
        ASSERT_EQ(::stat(path, &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0644u) << path;
        EXPECT_EQ(lock_release(handle), 0);
        std::free(path);
    }
    ::umask(oldMask);
}

TEST_F(LockTest, SymbolicLinkAtTheLockPathIsNotFollowed) {
    const char* name = "planted link";
    char* path = lock_path(name);
    const std::string target = "/var/lock/victim";
    writeFile(target, "precious content\n");
    ASSERT_EQ(::symlink(target.c_str(), path), 0);

    for (const bool blocking : {true, false}) {
        StdStreamsCapture streams;
        errno = 0;
        lock_handle* handle = blocking ? lock_wait(name, 1) : lock_try(name, 1);
        const int error = errno;
        const auto [out, err] = streams.finish();
        ASSERT_NE(handle, nullptr);
        EXPECT_EQ(handle->fd, -1);
        EXPECT_EQ(error, ELOOP);
        const std::string expected = "Unable to open file \"" + std::string(path) + "\": " +
                                     std::strerror(ELOOP) + ".\nSystem error " +
                                     std::to_string(ELOOP) + ": " + std::strerror(ELOOP) + "\n";
        EXPECT_EQ(err, expected);
        EXPECT_EQ(out, expected);
        EXPECT_EQ(lock_is_held(handle), 0);
        EXPECT_EQ(lock_is_busy(handle), 0);
        EXPECT_EQ(lock_release(handle), 0);
        EXPECT_EQ(fileContent(target), "precious content\n");
    }
    ::unlink(path);
    std::free(path);
}

TEST_F(LockTest, MissingLockDirectoryFailsWithMessageOnBothStreams) {
    ASSERT_EQ(::rmdir(kDir.c_str()), 0);
    for (const DigestCase& c : {kDigests[0], kDigests[3]}) {
        StdStreamsCapture streams;
        errno = 0;
        lock_handle* handle = lock_wait(c.name, 1);
        const int error = errno;
        const auto [out, err] = streams.finish();
        ASSERT_NE(handle, nullptr);
        EXPECT_EQ(handle->fd, -1);
        EXPECT_EQ(error, ENOENT);
        const std::string path = kDir + "/" + c.digest;
        const std::string expected = "Unable to open file \"" + path + "\": " + std::strerror(ENOENT) +
                                     ".\nSystem error 2: " + std::strerror(ENOENT) + "\n";
        EXPECT_EQ(err, expected);
        EXPECT_EQ(out, expected);
        EXPECT_EQ(lock_release(handle), 0);
    }
    // The routines never create the directory.
    EXPECT_FALSE(exists(kDir));
}

TEST_F(LockTest, HandleStateQueriesAndRelease) {
    struct Case {
        int fd;
        int held;
        int busy;
    };
    for (const Case c : {Case{-1, 0, 0}, Case{0, 0, 1}}) {
        auto* handle = static_cast<lock_handle*>(std::malloc(sizeof(lock_handle)));
        handle->fd = c.fd;
        handle->path = strdup("/var/lock/files/none");
        EXPECT_EQ(lock_is_held(handle), c.held);
        EXPECT_EQ(lock_is_busy(handle), c.busy);
        // Nothing to close: release only frees.
        EXPECT_EQ(lock_release(handle), 0);
    }
    EXPECT_EQ(lock_is_held(nullptr), 0);
    EXPECT_EQ(lock_is_busy(nullptr), 1);
    EXPECT_EQ(lock_release(nullptr), -1);
    EXPECT_EQ(lock_close(nullptr), -1);

    lock_handle* held = lock_wait("state", 1);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(lock_is_held(held), 1);
    EXPECT_EQ(lock_is_busy(held), 0);
    const int fd = held->fd;
    EXPECT_EQ(lock_close(held), 0);
    // The descriptor is gone with the handle.
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST_F(LockTest, FailedCloseAtReleaseIsReported) {
    lock_handle* handle = lock_wait("closed behind its back", 1);
    ASSERT_NE(handle, nullptr);
    ASSERT_GT(handle->fd, 0);
    const std::string path = handle->path;
    ASSERT_EQ(::close(handle->fd), 0);
    // A number that no descriptor opened meanwhile can take.
    handle->fd = 1000;
    ASSERT_EQ(::fcntl(handle->fd, F_GETFD), -1);

    StdStreamsCapture streams;
    const int result = lock_release(handle);
    const auto [out, err] = streams.finish();
    EXPECT_EQ(result, -1);
    const std::string expected = "An error occured during closing '" + path + "' file: " +
                                 std::strerror(EBADF) + "\n\nSystem error 9: " + std::strerror(EBADF) +
                                 "\n";
    EXPECT_EQ(err, expected);
    EXPECT_EQ(out, expected);
}

TEST_F(LockTest, LockOnDescriptorZeroIsStillReportedAsHeld) {
    // With standard input closed, open() hands out descriptor 0, which a
    // handle cannot carry as a held lock.
    const auto result = testsupport::runInChild([] {
        ::close(0);
        lock_handle* handle = lock_wait("on stdin", 1);
        if (handle == nullptr || handle->fd <= 0 || ::fcntl(0, F_GETFD) != -1) {
            return 1;
        }
        lock_handle* other = lock_try("on stdin", 1);
        const bool conflicts = other != nullptr && other->fd == 0;
        lock_release(other);
        return conflicts && lock_release(handle) == 0 ? 0 : 2;
    });
    EXPECT_TRUE(result.exitedWith(0)) << result.status << result.err;
}

}  // namespace
