// A parent with a line buffered in stdio and an exit handler runs a command that fails before
// its exec, then prints what run threw; with "fail-new-in-child" every allocation in the child
// fails too. Each line must come out once: the child must run none of the parent's code.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "process/Pipe.h"

namespace {
pid_t allocatesOnlyIn = 0;  // 0: everywhere
}

void* operator new(std::size_t size) {
    if (allocatesOnlyIn != 0 && ::getpid() != allocatesOnlyIn) throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

int main(int argc, char** argv) {
    std::atexit([] { std::fputs("exit handler\n", stdout); });
    std::fputs("buffered\n", stdout);
    kelmo::process::Pipe pipe(kelmo::process::Command("/no-such-t1"));
    if (argc > 1 && std::strcmp(argv[1], "fail-new-in-child") == 0) allocatesOnlyIn = ::getpid();
    try {
        std::printf("run returned %d\n", pipe.run());
    } catch (const std::exception& e) {
        std::printf("run threw %s\n", e.what());
    }
    return 0;
}
