// Prints "<number> <target> <r|w|rw>" per open descriptor, into the file named by
// the first argument (opened after listing, so it does not show) or to stdout.
#include <cstdio>

#include "tests/process/ProcessTestSupport.h"

int main(int argc, char** argv) {
    std::string listing;
    for (const auto& fd : proctest::openFds()) {
        listing += std::to_string(fd.first) + " " + fd.second + "\n";
    }
    FILE* out = argc > 1 ? std::fopen(argv[1], "w") : stdout;
    return out && std::fputs(listing.c_str(), out) >= 0 && std::fflush(out) == 0 ? 0 : 1;
}
