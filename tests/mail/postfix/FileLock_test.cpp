#include "mail/postfix/FileLock.h"

#include <sys/file.h>

#include <typeinfo>

#include "common/Eintr.h"
#include "common/SystemError.h"
#include "tool/ToolHarness.h"

namespace {

using kelmo::FileLock;
using tarnwick_test::inPrivateLocks;
using tarnwick_test::md5Hex;

class FileLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tarnwick-lock.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        std::filesystem::create_directories(dir_ + "/lock/files");
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // Whether somebody holds an exclusive flock on path, asked through a
    // descriptor of our own.
    static bool heldElsewhere(const std::string& path) {
        const int fd = open(path.c_str(), O_RDONLY);
        if (fd < 0) {
            ADD_FAILURE() << "cannot open " << path;
            return false;
        }
        const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        kelmo::closeNoInt(fd);
        return held;
    }

    std::string dir_;
};

TEST_F(FileLockTest, LiteralLockIsHeldForTheScopeAndTheFileStays) {
    const std::string path = dir_ + "/main.lock";
    tarnwick_test::spit(path, "old content");
    {
        FileLock lock(path, FileLock::Literal, FileLock::Blocking);
        EXPECT_TRUE(heldElsewhere(path));
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_size, 0) << "every attempt truncates the lock file";
    }
    EXPECT_FALSE(heldElsewhere(path));
    EXPECT_TRUE(std::filesystem::exists(path));
}

TEST_F(FileLockTest, NonBlockingFailsAtOnceWithTheGivenNameAndSucceedsWhenFree) {
    const std::string path = dir_ + "/busy.lock";
    const int holder = open(path.c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    try {
        FileLock lock(path, FileLock::Literal, FileLock::NonBlocking);
        ADD_FAILURE() << "a held lock was taken";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(typeid(e), typeid(std::runtime_error));
        EXPECT_EQ(std::string(e.what()), "lock(" + path + ") failed: file is already locked");
    }
    kelmo::closeNoInt(holder);
    FileLock lock(path, FileLock::Literal, FileLock::NonBlocking);
    EXPECT_TRUE(heldElsewhere(path));
}

TEST_F(FileLockTest, BlockingWaitsForTheHolderToRelease) {
    const std::string path = dir_ + "/wait.lock";
    const std::string marker = dir_ + "/released";
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        const int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
        flock(fd, LOCK_EX);
        (void)!write(ready[1], "x", 1);
        usleep(300 * 1000);
        tarnwick_test::spit(marker, "released");
        _exit(0);  // dropping the descriptor drops the lock
    }
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    {
        FileLock lock(path, FileLock::Literal, FileLock::Blocking);
        EXPECT_EQ(tarnwick_test::slurp(marker), "released");
    }
    int status;
    waitpid(holder, &status, 0);
    kelmo::closeNoInt(ready[0]);
    kelmo::closeNoInt(ready[1]);
}

TEST_F(FileLockTest, OpenFailuresBecomeSystemErrorsChosenByErrno) {
    struct Case {
        std::string path;
        int code;
        const std::type_info& type;
    };
    const Case cases[] = {
        {dir_ + "/missing/x.lock", ENOENT, typeid(kelmo::ExSystemError<2>)},
        {dir_, EISDIR, typeid(kelmo::SystemError)},
    };
    for (const Case& c : cases) {
        for (FileLock::LockWait wait : {FileLock::Blocking, FileLock::NonBlocking}) {
            try {
                FileLock lock(c.path, FileLock::Literal, wait);
                ADD_FAILURE() << c.path << " was locked";
            } catch (const kelmo::SystemError& e) {
                EXPECT_EQ(typeid(e), c.type) << c.path;
                EXPECT_EQ(e.code(), c.code) << c.path;
                EXPECT_EQ(std::string(e.what()), std::string("lock() failed: ") + std::strerror(c.code));
            }
        }
    }
}

TEST_F(FileLockTest, InvalidWaitModeIsMisuse) {
    EXPECT_THROW(FileLock(dir_ + "/x.lock", FileLock::Literal, static_cast<FileLock::LockWait>(2)),
                 std::logic_error);
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/x.lock"));
}

// Hashed names lock /var/lock/files/<md5 of the name>; any naming value but
// Literal hashes.
TEST_F(FileLockTest, HashedNamesLockTheDigestFileUnderVarLockFiles) {
    const std::string files = dir_ + "/lock/files/";
    const std::string name = dir_ + "/etc/postfix/main.cf";
    const std::string other = "another name";
    const int code = inPrivateLocks(dir_ + "/lock", [&] {
        FileLock hashed(name, FileLock::Hashed, FileLock::Blocking);
        FileLock odd(other, static_cast<FileLock::LockNaming>(7), FileLock::NonBlocking);
        if (!heldElsewhere("/var/lock/files/" + md5Hex(name)) ||
            !heldElsewhere("/var/lock/files/" + md5Hex(other))) {
            _exit(3);
        }
    });
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(std::filesystem::exists(files + md5Hex(name)));
    EXPECT_TRUE(std::filesystem::exists(files + md5Hex(other)));
    EXPECT_FALSE(std::filesystem::exists(name));
    struct stat st;
    ASSERT_EQ(stat((files + md5Hex(name)).c_str(), &st), 0);
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 07777, 0644u & ~mask);
}

TEST_F(FileLockTest, MissingLockDirectoryIsENOENT) {
    const int code = inPrivateLocks("", [] {
        try {
            FileLock lock("/etc/postfix/main.cf", FileLock::Hashed, FileLock::Blocking);
        } catch (const kelmo::ExSystemError<2>& e) {
            if (std::string(e.what()) == "lock() failed: No such file or directory") {
                _exit(0);
            }
        }
        _exit(3);
    });
    EXPECT_EQ(code, 0);
}

}  // namespace
