#pragma once

// Runs the built tarnwick (and real or stand-in postconf) on throw-away
// Postfix configuration directories. Every tarnwick run happens in a private
// mount namespace whose /var/lock is the test's own directory (or an empty
// tmpfs, to hide /var/lock/files), optionally with /usr/sbin/postconf
// replaced by a stand-in script; the host's files are never changed.

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

namespace tarnwick_test {

struct Outcome {
    int exitCode = -1;  // -1 when ended by a signal
    int signal = 0;
    std::string out;
    std::string err;
};

inline std::string readAll(FILE* file) {
    std::string text;
    std::rewind(file);
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, n);
    }
    return text;
}

// A started child whose standard output and error go to anonymous files.
class Started {
public:
    Started(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv)
        : out_(std::tmpfile()), err_(std::tmpfile()) {
        if (out_ == nullptr || err_ == nullptr) {
            throw std::runtime_error("tmpfile failed");
        }
        std::vector<std::string> envText;
        for (char** e = environ; *e != nullptr; ++e) {
            const std::string entry(*e);
            bool overridden = false;
            for (const std::string& extra : extraEnv) {
                overridden = overridden || entry.compare(0, extra.find('=') + 1, extra, 0,
                                                         extra.find('=') + 1) == 0;
            }
            if (!overridden) {
                envText.push_back(entry);
            }
        }
        envText.insert(envText.end(), extraEnv.begin(), extraEnv.end());
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        std::vector<char*> env;
        for (const std::string& e : envText) {
            env.push_back(const_cast<char*>(e.c_str()));
        }
        env.push_back(nullptr);

        pid_ = fork();
        if (pid_ < 0) {
            throw std::runtime_error("fork failed");
        }
        if (pid_ == 0) {
            const int devnull = open("/dev/null", O_RDONLY);
            dup2(devnull, 0);
            dup2(fileno(out_), 1);
            dup2(fileno(err_), 2);
            execve(args[0], args.data(), env.data());
            _exit(127);
        }
    }

    ~Started() {
        if (pid_ > 0) {
            int status;
            waitpid(pid_, &status, 0);
        }
        std::fclose(out_);
        std::fclose(err_);
    }

    Started(const Started&) = delete;
    Started& operator=(const Started&) = delete;

    Outcome finish() {
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
        Outcome outcome;
        if (WIFEXITED(status)) {
            outcome.exitCode = WEXITSTATUS(status);
        } else if (WIFSIGNALED(status)) {
            outcome.signal = WTERMSIG(status);
        }
        outcome.out = readAll(out_);
        outcome.err = readAll(err_);
        return outcome;
    }

private:
    FILE* out_;
    FILE* err_;
    pid_t pid_ = -1;
};

inline Outcome run(const std::vector<std::string>& argv,
                   const std::vector<std::string>& extraEnv = {}) {
    Started child(argv, extraEnv);
    return child.finish();
}

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void spit(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

// "/var/lock/files/" name of a hashed lock, by md5sum rather than our own code.
inline std::string md5Hex(const std::string& text) {
    const std::string path = std::filesystem::temp_directory_path() / "tarnwick-md5-input";
    spit(path, text);
    const Outcome o = run({"/usr/bin/md5sum", path});
    std::filesystem::remove(path);
    return o.out.substr(0, 32);
}

constexpr const char* kUsage =
    "Appends a given value to the specified Postfix configuration parameter\n"
    "if the given value is already set nothing is done\n"
    "usage: tarnwick [--replace] <key> <value>\n"
    "If used with --replace completely override current value instead of append\n";

// A throw-away Postfix configuration directory with main.cf, an empty
// master.cf (so that postconf does not warn about it) and a lock root whose
// files/ stands in for /var/lock/files.
class MailConfig {
public:
    explicit MailConfig(const std::string& mainCf = std::string()) {
        char pattern[] = "/tmp/tarnwick-test.XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        root_ = pattern;
        dir_ = root_ + "/postfix";
        std::filesystem::create_directories(dir_);
        std::filesystem::create_directories(lockRoot() + "/files");
        spit(dir_ + "/master.cf", "");
        setMainCf(mainCf);
    }
    ~MailConfig() {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    MailConfig(const MailConfig&) = delete;
    MailConfig& operator=(const MailConfig&) = delete;

    const std::string& dir() const { return dir_; }
    std::string mainCfPath() const { return dir_ + "/main.cf"; }
    std::string lockRoot() const { return root_ + "/lock"; }
    std::string lockFile() const { return lockRoot() + "/files/" + md5Hex(mainCfPath()); }
    std::string scratch(const std::string& name) const { return root_ + "/" + name; }
    std::string env() const { return "MAIL_CONFIG=" + dir_; }

    void setMainCf(const std::string& text) {
        spit(mainCfPath(), text);
        backdate();
    }
    std::string mainCf() const { return slurp(mainCfPath()); }

    // postconf re-reads a main.cf modified within the last seconds until it
    // settles; an old modification time keeps every run fast.
    void backdate() const {
        struct timeval times[2];
        gettimeofday(&times[0], nullptr);
        times[0].tv_sec -= 3600;
        times[1] = times[0];
        utimes(mainCfPath().c_str(), times);
    }

    // The parameter's value as real postconf reads it, newline removed.
    std::string value(const std::string& key) const {
        backdate();
        Outcome o = run({"/usr/sbin/postconf", "-h", key}, {env()});
        EXPECT_EQ(o.exitCode, 0) << o.err;
        if (!o.out.empty() && o.out.back() == '\n') {
            o.out.pop_back();
        }
        return o.out;
    }

private:
    std::string root_;
    std::string dir_;
};

// How the private mount namespace of a run looks.
struct Namespace {
    enum Locks { OwnLockDir, HiddenLockDir };
    Locks locks = OwnLockDir;
    std::string postconf;  // stand-in script; empty: the real one
    bool noSbin = false;   // an empty tmpfs over /usr/sbin
};

inline std::vector<std::string> namespaced(const MailConfig& config, const Namespace& ns,
                                           const std::vector<std::string>& command) {
    static const char script[] =
        "set -e\n"
        "if [ -n \"$1\" ]; then mount --bind \"$1\" /var/lock; else mount -t tmpfs tmpfs /var/lock; fi\n"
        "if [ -n \"$2\" ]; then mount --bind \"$2\" /usr/sbin/postconf; fi\n"
        "if [ \"$3\" = 1 ]; then mount -t tmpfs tmpfs /usr/sbin; fi\n"
        "shift 3\n"
        "exec \"$@\"\n";
    std::vector<std::string> argv{"/usr/bin/unshare", "--mount", "--propagation", "private",
                                  "/bin/sh", "-c", script, "sh",
                                  ns.locks == Namespace::OwnLockDir ? config.lockRoot() : "",
                                  ns.postconf, ns.noSbin ? "1" : "0"};
    argv.insert(argv.end(), command.begin(), command.end());
    return argv;
}

inline std::vector<std::string> tarnwickCommand(const std::vector<std::string>& args) {
    std::vector<std::string> argv{TARNWICK_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

// tarnwick with args on config, inside a private mount namespace.
inline Outcome tarnwick(const MailConfig& config, const std::vector<std::string>& args,
                        const Namespace& ns = Namespace(),
                        const std::vector<std::string>& extraEnv = {}) {
    std::vector<std::string> env{config.env()};
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    return run(namespaced(config, ns, tarnwickCommand(args)), env);
}

inline std::string standin(const std::string& name) {
    return std::string(TESTS_SOURCE_DIR) + "/tool/standins/" + name;
}

inline std::string fatalLine(const std::string& type, const std::string& message) {
    return "Fatal error: " + type + "(" + message + ")\n";
}

// Runs body in a forked child inside a private mount namespace whose
// /var/lock is lockRoot (empty: a fresh tmpfs, so /var/lock/files is
// missing). Returns the child's exit code: 0 when body returned, 1 when it
// threw (its what() on stderr), 2 when setting up the namespace failed.
inline int inPrivateLocks(const std::string& lockRoot, const std::function<void()>& body) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            (lockRoot.empty() ? mount("tmpfs", "/var/lock", "tmpfs", 0, nullptr)
                              : mount(lockRoot.c_str(), "/var/lock", nullptr, MS_BIND, nullptr)) != 0) {
            std::perror("private lock namespace");
            _exit(2);
        }
        try {
            body();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s\n", e.what());
            _exit(1);
        }
        std::fflush(nullptr);
        _exit(0);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace tarnwick_test
