// log_receiver SOCKET OUT COMMAND...: binds a datagram socket at SOCKET, runs COMMAND, then writes
// each datagram that arrived meanwhile to OUT, one a line, removes SOCKET and exits as COMMAND did.

#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, argv[1], sizeof address.sun_path - 1);
    const int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (argc < 4 || bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 125;
    int status = 0;
    const pid_t pid = fork();
    if (pid == 0) execvp(argv[3], argv + 3), _exit(127);
    waitpid(pid, &status, 0);
    unlink(argv[1]);
    std::ofstream out(argv[2]);
    char datagram[8192];
    for (ssize_t n; (n = recv(s, datagram, sizeof datagram, MSG_DONTWAIT)) >= 0;) {
        out << std::string(datagram, n) << "\n";
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
