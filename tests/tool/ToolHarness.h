#pragma once

// Runs tarnwick and postconf through the shell on a throw-away Postfix configuration. tarnwick
// runs in private mount and network namespaces (loopback up) whose /var/lock is the test's own
// directory, so the host's files never change.

#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tarnwick_test {

namespace fs = std::filesystem;

inline std::string slurp(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline std::string quote(const std::string& word) {
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

inline std::string fatal(const std::string& type, const std::string& what) {
    return "Fatal error: " + type + "(" + what + ")\n";
}

struct Outcome { int status; std::string out, err; };  // status: exit code, or 128 + signal

// <root>/pf holds main.cf and a master.cf, empty unless set(text, "master.cf") fills it (postconf
// warns without one); <root>/lock stands in for /var/lock.
struct MailConfig {
    std::string root, dir, mainCfPath;

    explicit MailConfig(const std::string& text = "") {
        char pattern[] = "/tmp/tarnwick-test.XXXXXX";
        root = mkdtemp(pattern), dir = root + "/pf", mainCfPath = dir + "/main.cf";
        fs::create_directories(root + "/lock/files"), fs::create_directories(dir);
        fs::permissions(root + "/lock/files", fs::perms(0755));  // whatever the umask: tarnwick checks
        std::ofstream(dir + "/master.cf").flush();
        set(text);
    }
    ~MailConfig() { fs::remove_all(root); }

    // Backdated: postconf re-reads a main.cf modified in the last seconds until it settles.
    void set(const std::string& text, const std::string& file = "main.cf") const {
        std::ofstream(dir + "/" + file) << text << std::flush;
        fs::last_write_time(dir + "/" + file, fs::file_time_type::clock::now() - std::chrono::hours(1));
    }
    std::string mainCf() const { return slurp(mainCfPath); }
    std::vector<std::string> locks() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(root + "/lock/files"))
            names.push_back(entry.path().filename());
        return names;
    }

    Outcome sh(const std::string& command) const {
        const std::string out = root + "/out", err = root + "/err";
        const int status = std::system(("export MAIL_CONFIG=" + dir + "; {\n" + command +
                                        "\n} </dev/null >" + out + " 2>" + err).c_str());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), slurp(out),
                slurp(err)};
    }
    std::string md5(const std::string& text) const {
        return sh("printf %s " + quote(text) + " | md5sum").out.substr(0, 32);
    }

    // A tarnwick command line: prep runs first inside the namespaces, env prefixes it.
    std::string command(const std::vector<std::string>& args, const std::string& prep = "",
                        const std::string& env = "") const {
        std::string line = env + " unshare --mount --propagation private --net sh -c " +
                           quote("set -e; ip link set lo up; mount --bind " + root +
                                 "/lock /var/lock; " + prep + "\nexec \"$0\" \"$@\"") +
                           " " TARNWICK_BINARY;
        for (const std::string& arg : args) line += " " + quote(arg);
        return line;
    }
};

}  // namespace tarnwick_test
