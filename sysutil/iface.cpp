#include "sysutil/iface.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/Eintr.h"
#include "sysutil/message.h"

namespace {

// The query socket; closed on every way out of iface_list.
class QuerySocket {
public:
    // Close-on-exec: no child is to inherit what the library opened for itself.
    QuerySocket() : fd_(kelmo::retryNoInt(::socket, AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
    ~QuerySocket() {
        if (fd_ >= 0) {
            kelmo::closeQuietly(fd_);
        }
    }
    QuerySocket(const QuerySocket&) = delete;
    QuerySocket& operator=(const QuerySocket&) = delete;

    int fd() const { return fd_; }

private:
    int fd_;
};

// A malloc'd block freed on scope exit unless released.
class MallocBlock {
public:
    MallocBlock() = default;
    ~MallocBlock() { std::free(ptr_); }
    MallocBlock(const MallocBlock&) = delete;
    MallocBlock& operator=(const MallocBlock&) = delete;

    void* get() const { return ptr_; }
    void reset(void* p) { ptr_ = p; }

private:
    void* ptr_ = nullptr;
};

int ioctlNoInt(int fd, unsigned long request, struct ifreq* req) {
    return kelmo::retryNoInt([&] { return ::ioctl(fd, request, req); });
}

// inet_ntoa answers in a static buffer; keep a copy.
void dottedText(struct in_addr address, char* out, size_t size) {
    std::snprintf(out, size, "%s", ::inet_ntoa(address));
}

struct in_addr addressOf(const struct sockaddr& sa) {
    struct sockaddr_in sin;
    std::memcpy(&sin, &sa, sizeof sin);
    return sin.sin_addr;
}

}  // namespace

extern "C" ifaceinfo* iface_list(int* count) {
    if (count != nullptr) {
        *count = 0;
    }

    QuerySocket sock;
    if (sock.fd() < 0) {
        message(0, "Can't create socket: %s\n", std::strerror(errno));
        return nullptr;
    }

    // The kernel truncates its answer silently to the buffer it is given, so
    // an answer that fills the buffer may have been cut short: grow and ask
    // again until some room is left over.
    const int entrySize = static_cast<int>(sizeof(struct ifreq));
    MallocBlock query;
    struct ifconf conf;
    int capacity = 1;
    do {
        if (capacity > INT_MAX / (2 * entrySize)) {
            errno = ENOMEM;
            message(0, "unable to query SIOCGIFCONF: %s\n", std::strerror(errno));
            return nullptr;
        }
        capacity *= 2;
        void* grown = std::realloc(query.get(), static_cast<size_t>(capacity) * entrySize);
        if (grown == nullptr) {
            message(0, "unable to query SIOCGIFCONF: %s\n", std::strerror(errno));
            return nullptr;
        }
        query.reset(grown);
        std::memset(&conf, 0, sizeof conf);
        conf.ifc_len = capacity * entrySize;
        conf.ifc_buf = static_cast<char*>(query.get());
        if (kelmo::retryNoInt([&] { return ::ioctl(sock.fd(), SIOCGIFCONF, &conf); }) < 0) {
            message(0, "unable to query SIOCGIFCONF: %s\n", std::strerror(errno));
            return nullptr;
        }
    } while (conf.ifc_len >= capacity * entrySize);

    const int entries = conf.ifc_len / entrySize;
    auto* list = static_cast<ifaceinfo*>(std::calloc(static_cast<size_t>(entries) + 1, sizeof(ifaceinfo)));
    if (list == nullptr) {
        message(0, "Can't allocate ifaceinfo buffer from %d elements\n", entries);
        return nullptr;
    }

    int listed = 0;
    for (int i = 0; i < entries; ++i) {
        struct ifreq* req = &conf.ifc_req[i];
        // Taken first: the queries below answer into the same union.
        const struct in_addr address = addressOf(req->ifr_addr);
        if ((ntohl(address.s_addr) >> 24) == 127) {
            continue;
        }

        ifaceinfo* info = &list[listed];
        const size_t nameLength = strnlen(req->ifr_name, sizeof req->ifr_name);
        const size_t copied = nameLength < sizeof info->name - 1 ? nameLength : sizeof info->name - 1;
        std::memcpy(info->name, req->ifr_name, copied);
        info->name[copied] = '\0';
        info->addr = address;
        dottedText(address, info->addr_str, sizeof info->addr_str);

        // An alias (eth0:1) shares its parent's hardware; it gets no address of its own.
        if (std::strchr(info->name, ':') == nullptr) {
            std::snprintf(info->mac_str, sizeof info->mac_str, "00:00:00:00:00:00");
            if (ioctlNoInt(sock.fd(), SIOCGIFHWADDR, req) == 0) {
                const auto* hw = reinterpret_cast<const unsigned char*>(req->ifr_hwaddr.sa_data);
                std::snprintf(info->mac_str, sizeof info->mac_str, "%02x:%02x:%02x:%02x:%02x:%02x",
                              hw[0], hw[1], hw[2], hw[3], hw[4], hw[5]);
            } else {
                message(0, "Can't get Mac-addr with SIOCGIFHWADDR\n");
            }
        }

        if (ioctlNoInt(sock.fd(), SIOCGIFNETMASK, req) == 0) {
            dottedText(addressOf(req->ifr_netmask), info->netmask_str, sizeof info->netmask_str);
        } else {
            std::snprintf(info->netmask_str, sizeof info->netmask_str, "255.255.255.255");
        }
        ++listed;
    }

    // calloc left list[listed] all zero: that is the terminator.
    if (count != nullptr) {
        *count = listed;
    }
    return list;
}

extern "C" void iface_list_free(ifaceinfo* list) {
    std::free(list);
}
