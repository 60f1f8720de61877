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
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace tarnwick_test {

namespace fs = std::filesystem;

const std::string kStandins = TESTS_SOURCE_DIR "/tool/standins";

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
inline std::string refused(const std::string& what) {
    return fatal("kelmo::mail::postfix::PostfixConfigurationError", what);
}
// The refusal of new values of keys (", " between them) that make postconf fail with fatal.
inline std::string unreadable(const std::string& keys, const std::string& fatal) {
    return refused("postconf cannot read the configuration with the new value" +
                   std::string(keys.find(", ") == keys.npos ? "" : "s") + " of " + keys +
                   ": /usr/sbin/postconf: fatal: " + fatal + "; nothing written");
}
inline std::string rd(const std::string& value) { return "relay_domains = " + value + "\n"; }
inline std::string unused(const std::string& key) {
    return "Postfix does not use parameter \"" + key +
           "\": the name is unknown to it and nothing refers to $" + key;
}

// --json's report of parameters (changed where before and after differ; nullopt: not set).
struct Param { std::string name; std::optional<std::string> before, after; std::string warn = ""; };
inline std::string json(const char* dryRun, const std::vector<Param>& parameters) {
    const auto text = [](auto value) { return value ? "\"" + *value + "\"" : std::string("null"); };
    std::string any = "false", list;
    for (const Param& p : parameters) {
        const std::string changed = p.before == p.after ? "false" : (any = "true");
        const std::string warning = std::regex_replace(p.warn, std::regex("\""), "\\\"");
        list += std::string(list.empty() ? "" : ",") + "{\"name\":\"" + p.name + "\",\"before\":" +
                text(p.before) + ",\"after\":" + text(p.after) + ",\"changed\":" + changed +
                ",\"warnings\":[" + (warning.empty() ? "" : "\"" + warning + "\"") + "]}";
    }
    return "{\"changed\":" + any + ",\"dry_run\":" + dryRun +
           ",\"config_directory\":\"@DIR\",\"parameters\":[" + list + "]}\n";
}

struct Outcome { int status; std::string out, err; };  // status: exit code, or 128 + signal

// A run for MailConfig::check: main.cf is set to set first ("=": left as it is), pipe (ending in
// '|') feeds it. It exits with status printing out (@DIR: the configuration directory) and err,
// or with 1 printing fails on both streams where given, and leaves main.cf as after and master.cf
// as master ("=": unchanged). env and prep are command()'s.
struct Run {
    std::string set = "=", pipe = "";
    std::vector<std::string> args = {};
    std::string env = "", prep = "";
    int status = 0;
    std::string out = "", err = "", fails = "", after = "=", master = "=";
};

// <root>/pf holds main.cf and a master.cf, empty unless set(text, "master.cf") fills it (postconf
// warns without one); <root>/lock stands in for /var/lock.
struct MailConfig {
    std::string root, dir, mainCfPath;

    explicit MailConfig(const std::string& text = "") {
        char pattern[] = "/tmp/tarnwick-test.XXXXXX";
        root = mkdtemp(pattern), dir = root + "/pf", mainCfPath = dir + "/main.cf";
        fs::create_directories(root + "/lock/files"), fs::create_directories(dir);
        fs::permissions(root + "/lock/files", fs::perms(0755));  // tarnwick checks, umask or not
        std::ofstream(dir + "/master.cf").flush();
        set(text);
    }
    ~MailConfig() { fs::remove_all(root); }

    // Backdated: postconf re-reads a main.cf modified in the last seconds until it settles.
    void set(const std::string& text, const std::string& file = "main.cf") const {
        std::ofstream(dir + "/" + file) << text << std::flush;
        const auto then = fs::file_time_type::clock::now() - std::chrono::hours(1);
        fs::last_write_time(dir + "/" + file, then);
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
    // A prep that mounts standins/postconf over postconf, the real one at <root>/real.
    std::string standin() const {
        std::ofstream(root + "/real").flush();
        return "mount --bind /usr/sbin/postconf " + root + "/real; mount --bind " + kStandins +
               "/postconf /usr/sbin/postconf\n";
    }

    // Each run in turn, after prep, on the files the one before left.
    void check(const std::vector<Run>& runs, const std::string& prep = "") const {
        for (const Run& run : runs) {
            if (run.set != "=") set(run.set);
            const std::string before = mainCf(), master = slurp(dir + "/master.cf");
            const std::string line = run.pipe + command(run.args, prep + "\n" + run.prep, run.env);
            SCOPED_TRACE("main.cf " + quote(before) + ": " + line);
            const Outcome o = sh(line);
            const std::string out = std::regex_replace(run.out, std::regex("@DIR"), dir);
            EXPECT_EQ(o.status, run.fails.empty() ? run.status : 1);
            EXPECT_EQ(o.out, run.fails.empty() ? out : run.fails);
            EXPECT_EQ(o.err, run.fails.empty() ? run.err : run.fails);
            EXPECT_EQ(mainCf(), run.after == "=" ? before : run.after);
            EXPECT_EQ(slurp(dir + "/master.cf"), run.master == "=" ? master : run.master);
            set(mainCf()), set(slurp(dir + "/master.cf"), "master.cf");
        }
    }
};

}  // namespace tarnwick_test
