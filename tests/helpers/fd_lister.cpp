// Prints one line per open descriptor: "<number> <target> <access>", access
// being r, w or rw. Writes to the file named by the first argument (opened
// after listing, so it does not show), or to standard output.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return 1;
    }
    std::string listing;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == dirfd(dir)) {
            continue;
        }
        const int fd = std::atoi(entry->d_name);
        char target[PATH_MAX] = {};
        (void)readlink((std::string("/proc/self/fd/") + entry->d_name).c_str(), target,
                       sizeof target - 1);
        const int mode = fcntl(fd, F_GETFL) & O_ACCMODE;
        listing += std::string(entry->d_name) + " " + target + " " +
                   (mode == O_RDONLY   ? "r"
                    : mode == O_WRONLY ? "w"
                                       : "rw") +
                   "\n";
    }
    closedir(dir);
    FILE* out = argc > 1 ? std::fopen(argv[1], "w") : stdout;
    return out != nullptr && std::fputs(listing.c_str(), out) >= 0 && std::fflush(out) == 0 ? 0 : 1;
}
