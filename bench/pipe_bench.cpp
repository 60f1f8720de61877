// Cost of Pipe::run against the floor for the same work:
//  - latency: a one-command pipe of /bin/true against posix_spawn + waitpid;
//  - throughput: 64 MiB read from cat through stdoutChannel against
//    cat file > /dev/null started by posix_spawn.
// The custom main prints both ratios after the runs, from the mean over all
// repetitions (five, interleaved at random, unless flags say otherwise).

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "process/Pipe.h"

extern char** environ;

namespace {

using kelmo::process::Command;
using kelmo::process::FD_PIPE;
using kelmo::process::Pipe;

constexpr std::size_t catBytes = 64u * 1024 * 1024;
std::string catFile;

void makeCatFile() {
    char name[] = "/tmp/pipe_bench.XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd < 0) {
        std::perror("mkstemp");
        std::exit(1);
    }
    std::vector<char> block(1 << 20);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<char>(i * 131 + 7);
    }
    for (std::size_t done = 0; done < catBytes; done += block.size()) {
        if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size())) {
            std::perror("write");
            std::exit(1);
        }
    }
    ::close(fd);
    catFile = name;
}

int spawnAndWait(const char* path, char* const argv[], const posix_spawn_file_actions_t* actions) {
    pid_t pid;
    if (::posix_spawn(&pid, path, actions, nullptr, argv, environ) != 0) {
        return -1;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
    }
    return status;
}

void BM_PipeRunTrue(benchmark::State& state) {
    for (auto _ : state) {
        Pipe pipe(Command("/bin/true"));
        if (pipe.run() != 0) {
            state.SkipWithError("/bin/true failed");
            break;
        }
    }
}
BENCHMARK(BM_PipeRunTrue)->Unit(benchmark::kMicrosecond)->MinTime(0.5)->UseRealTime();

void BM_PosixSpawnTrue(benchmark::State& state) {
    char program[] = "/bin/true";
    char* const argv[] = {program, nullptr};
    for (auto _ : state) {
        if (spawnAndWait(program, argv, nullptr) != 0) {
            state.SkipWithError("/bin/true failed");
            break;
        }
    }
}
BENCHMARK(BM_PosixSpawnTrue)->Unit(benchmark::kMicrosecond)->MinTime(0.5)->UseRealTime();

// Not a goal: plain fork + execv + waitpid, to tell the cost of forking (the
// child start-up forks; posix_spawn uses a vfork-like clone) from the cost
// of the run loop around it.
void BM_ForkExecTrue(benchmark::State& state) {
    char program[] = "/bin/true";
    char* const argv[] = {program, nullptr};
    for (auto _ : state) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::execv(program, argv);
            ::_exit(127);
        }
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0) {
        }
        if (status != 0) {
            state.SkipWithError("/bin/true failed");
            break;
        }
    }
}
BENCHMARK(BM_ForkExecTrue)->Unit(benchmark::kMicrosecond)->MinTime(0.5)->UseRealTime();

void BM_PipeCatThroughStdoutChannel(benchmark::State& state) {
    std::size_t received = 0;
    for (auto _ : state) {
        received = 0;
        Pipe pipe(Command("/bin/cat", catFile));
        pipe.stdoutChannel = {FD_PIPE,
                              [&received](const std::vector<char>& chunk) { received += chunk.size(); }};
        if (pipe.run() != 0 || received != catBytes) {
            state.SkipWithError("cat through the pipe lost bytes");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * catBytes));
}
BENCHMARK(BM_PipeCatThroughStdoutChannel)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();

void BM_SpawnCatToDevNull(benchmark::State& state) {
    char program[] = "/bin/cat";
    std::vector<char> file(catFile.begin(), catFile.end());
    file.push_back('\0');
    char* const argv[] = {program, file.data(), nullptr};
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    for (auto _ : state) {
        if (spawnAndWait(program, argv, &actions) != 0) {
            state.SkipWithError("cat failed");
            break;
        }
    }
    ::posix_spawn_file_actions_destroy(&actions);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * catBytes));
}
BENCHMARK(BM_SpawnCatToDevNull)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();

// Console output as usual, plus the mean real time per iteration of every
// benchmark over all its repetitions, in nanoseconds, for the ratios.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred && run.iterations > 0) {
                // Repetitions add up, so the ratio uses the mean over all.
                Total& total = totals_[run.benchmark_name()];
                total.seconds += run.real_accumulated_time;
                total.iterations += static_cast<double>(run.iterations);
                nanoseconds[run.benchmark_name()] = total.seconds * 1e9 / total.iterations;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> nanoseconds;

private:
    struct Total {
        double seconds = 0;
        double iterations = 0;
    };
    std::map<std::string, Total> totals_;
};

}  // namespace

int main(int argc, char** argv) {
    // Interleaved repetitions by default: on a shared machine a load change
    // then hits every benchmark alike instead of skewing one ratio. Flags
    // given on the command line come later and win.
    char repetitions[] = "--benchmark_repetitions=5";
    char interleaving[] = "--benchmark_enable_random_interleaving=true";
    std::vector<char*> arguments{argv[0], repetitions, interleaving};
    arguments.insert(arguments.end(), argv + 1, argv + argc);
    arguments.push_back(nullptr);
    int count = static_cast<int>(arguments.size()) - 1;
    argv = arguments.data();
    argc = count;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    makeCatFile();
    RecordingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    ::unlink(catFile.c_str());

    const auto ratio = [&](const char* ours, const char* floor) {
        const auto a = reporter.nanoseconds.find(ours);
        const auto b = reporter.nanoseconds.find(floor);
        return a == reporter.nanoseconds.end() || b == reporter.nanoseconds.end()
                   ? -1.0
                   : a->second / b->second;
    };
    std::printf("run/posix_spawn latency ratio: %.3f (goal <= 1.3)\n",
                ratio("BM_PipeRunTrue/min_time:0.500/real_time",
                      "BM_PosixSpawnTrue/min_time:0.500/real_time"));
    std::printf("fork+execv/posix_spawn latency ratio: %.3f (reference)\n",
                ratio("BM_ForkExecTrue/min_time:0.500/real_time",
                      "BM_PosixSpawnTrue/min_time:0.500/real_time"));
    // Time per 64 MiB, so the throughput of cat > /dev/null over ours.
    std::printf("cat>/dev/null / stdoutChannel throughput ratio: %.3f\n",
                ratio("BM_PipeCatThroughStdoutChannel/min_time:1.000/real_time",
                      "BM_SpawnCatToDevNull/min_time:1.000/real_time"));
    benchmark::Shutdown();
    return 0;
}
