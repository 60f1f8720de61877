// Starting a child that closes its inherited descriptors must not cost more
// as the descriptor limit grows: compare a small soft limit with 1,048,576.
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include "process/ChildStartup.h"
#include "process/FailureReport.h"
#include "process/Flags.h"

namespace {

using namespace kelmo::process;

void startWithLimit(benchmark::State& state) {
    rlimit saved;
    ::getrlimit(RLIMIT_NOFILE, &saved);
    // Raising the hard limit needs CAP_SYS_RESOURCE; without it, go as high
    // as the hard limit allows and say so in the "limit" counter.
    const rlim_t asked = static_cast<rlim_t>(state.range(0));
    rlimit wanted{asked, std::max(saved.rlim_max, asked)};
    if (::setrlimit(RLIMIT_NOFILE, &wanted) != 0) {
        wanted = {std::min(asked, saved.rlim_max), saved.rlim_max};
        if (::setrlimit(RLIMIT_NOFILE, &wanted) != 0) {
            state.SkipWithError("cannot set the descriptor limit");
            return;
        }
    }
    state.counters["limit"] = static_cast<double>(wanted.rlim_cur);
    char* argv[] = {const_cast<char*>("/bin/true"), nullptr};
    for (auto _ : state) {
        ChildHandle handle;
        startChild(handle, argv, argv[0], nullptr, nullptr, true, false, false, {}, FD_DEVNULL,
                   FD_DEVNULL, FD_DEVNULL);
        readChildReport(handle);
        benchmark::DoNotOptimize(waitForChild(handle));
    }
    ::setrlimit(RLIMIT_NOFILE, &saved);
}

}  // namespace

BENCHMARK(startWithLimit)->Arg(1024)->Arg(1048576)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
