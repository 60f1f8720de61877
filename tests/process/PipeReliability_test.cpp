// Pipe::run under load; each case leaves no descriptor and no child behind.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/time.h>

#include <random>

#include "process/DescriptorSet.h"
#include "process/ProcessSetCatcher.h"
#include "process/ProcessTestSupport.h"

using namespace proctest;

namespace {

volatile sig_atomic_t alarms = 0;
void countAlarm(int) { ++alarms; }

}  // namespace

TEST(PipeReliability, TenThousandRunsLeaveNoDescriptorAndNoZombie) {
    const auto before = openFds();
    int failures = 0;
    std::string collected;
#if defined(__SANITIZE_ADDRESS__)
    const int runs = 1000;  // forking a sanitized process is slow
#else
    const int runs = 10000;
#endif
    for (int i = 0; i < runs; ++i) {
        Pipe pipe(Command("/bin/true"));
        pipe.stdoutChannel = {FD_PIPE, collectInto(collected)};
        pipe.stderrChannel.fd = FD_PIPE;
        failures += pipe.run() != 0;
    }
    EXPECT_EQ(failures + collected.size(), 0U);
    EXPECT_EQ(openFds(), before);
    EXPECT_TRUE(noChildLeft());
}

// SIGALRM every 100 microseconds, handled without SA_RESTART, interrupts every
// slow call now and then: 10 MiB through cat, fed in portions of varying size,
// and three-command pipelines still come out right.
TEST(PipeReliability, RunsStayCorrectUnderASignalEvery100Microseconds) {
    const auto before = openFds();
    std::string text(10 << 20, '\0'), out;
    std::generate(text.begin(), text.end(), std::minstd_rand());
    struct sigaction storm {}, saved {};
    storm.sa_handler = &countAlarm;
    ::sigaction(SIGALRM, &storm, &saved);
    itimerval every{{0, 100}, {0, 100}}, off{};
    ::setitimer(ITIMER_REAL, &every, nullptr);
    std::size_t offset = 0;
    Pipe fed(Command("/bin/cat"));
    fed.stdinChannel = {FD_PIPE, [&](std::vector<char>& buffer) {
                            const auto from = text.begin() + offset;
                            offset += std::min(text.size() - offset, 1 + offset % 99991);
                            buffer.assign(from, text.begin() + offset);
                            return offset < text.size();
                        }};
    fed.stdoutChannel = {FD_PIPE, collectInto(out)};
    EXPECT_EQ(fed.run(), 0);
    int wrong = 0;
    for (int i = 0; i < 100; ++i) {
        std::string counted;
        Pipe chain(Command("/usr/bin/printf", "one two\\nthree\\n"));
        chain.append(Command("/usr/bin/tr", " ", "\\n")).append(Command("/usr/bin/wc", "-l"));
        chain.stdoutChannel = {FD_PIPE, collectInto(counted)};
        wrong += chain.run() != 0 || counted != "3\n";
    }
    ::setitimer(ITIMER_REAL, &off, nullptr);
    ::sigaction(SIGALRM, &saved, nullptr);
    EXPECT_TRUE(out == text) << out.size();
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(alarms, 100);  // the storm really blew
    EXPECT_EQ(openFds(), before);
    EXPECT_TRUE(noChildLeft());
}

// With every free descriptor below `next` filled, a descriptor the loop would
// watch at or past the select sets' bound fails the run with EMFILE, cleanly.
TEST(PipeReliability, DescriptorsBeyondTheSelectSetsFailWithEmfile) {
    const int bound = DescriptorSet::capacity;
    struct Row {
        int next, code;  // next: the first descriptor the run gets
        bool feed, collect;
    } rows[] = {{bound, EMFILE, false, false},      // the catcher's control pipe
                {bound - 2, EMFILE, false, true},   // the pipeline's stdout
                {bound - 2, EMFILE, true, false},   // the fed stdin
                {bound - 8, 0, false, true}};       // all inside the sets
    rlimit saved;
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    const rlimit raised{20000, std::max<rlim_t>(saved.rlim_max, 20000)};
    for (const Row& row : rows) {
        const auto before = openFds();
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &raised), 0);
        std::vector<int> fillers;
        for (int fd; (fd = ::dup(2)) >= 0 && fd < row.next;) fillers.push_back(fd);
        kelmo::closeNoInt(row.next);
        std::string out;
        Pipe pipe(Command("/bin/echo", "x"));
        if (row.feed) pipe.stdinChannel = {FD_PIPE, [](std::vector<char>&) { return false; }};
        pipe.stdoutChannel = {row.collect ? FD_PIPE : FD_DEVNULL, collectInto(out)};
        EXPECT_EQ(caught([&] { pipe.run(); }).code, row.code) << row.next;
        EXPECT_EQ(out, row.code ? "" : "x\n");
        EXPECT_EQ(ProcessSetCatcher::instance(), nullptr);
        for (const int fd : fillers) kelmo::closeNoInt(fd);
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
        while (::waitpid(-1, nullptr, 0) > 0) {  // a failed run leaves its children unwaited
        }
        EXPECT_EQ(openFds(), before) << row.next;
        EXPECT_TRUE(noChildLeft());
    }
}
