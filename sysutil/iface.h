#pragma once

#include <netinet/in.h>

// The host's IPv4 interfaces as text, loopback addresses left out.

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ifaceinfo {
    char name[32];         // as the kernel reports it; aliases carry a colon
    struct in_addr addr;   // network byte order
    char addr_str[40];     // dotted decimal
    char netmask_str[40];  // dotted decimal, "255.255.255.255" if unknown
    char mac_str[32];      // aa:bb:cc:dd:ee:ff; empty for an alias
} ifaceinfo;

// An array ended by an all-zero record (empty name), or null on failure.
// *count (if count is not null) receives the number of records.
ifaceinfo* iface_list(int* count);
void iface_list_free(ifaceinfo* list);

#ifdef __cplusplus
}
#endif
