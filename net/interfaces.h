// Network identity: fresh kernel queries about the router's interfaces, the
// lowest non-zero MAC address (SNMPv3 engine ID) and the interface routed
// toward an address (SNMPv1 agent address). Caches nothing; every socket and
// file it opens is closed on every path.
#pragma once
#include <cstdint>

constexpr const char *PROC_NET_ROUTE = "/proc/net/route";
constexpr const char *PROC_NET_IF_INET6 = "/proc/net/if_inet6";
// The VRRP service writes the real MAC of an interface that carries a
// virtual-router MAC into "/run/vrrp/%s.mac" (%s: the interface name), a file
// in this folder.
constexpr const char *VRRP_MAC_DIR = "/run/vrrp/";

// The files the interface query reads besides the kernel's ioctls.
struct interface_query_files {
    const char *if_inet6;         // PROC_NET_IF_INET6
    const char *vrrp_mac_dir;     // VRRP_MAC_DIR, with its closing slash
};
constexpr interface_query_files INTERFACE_FILES = {PROC_NET_IF_INET6, VRRP_MAC_DIR};

struct interface_info {
    int32_t index;
    int32_t flags;
    int32_t is_up;       // 1 or 0
    int32_t is_running;  // 0x40 or 0
    uint8_t mac[6];      // after the VRRP rule
    uint32_t ipv4;       // host order
    uint32_t netmask;    // host order
    uint8_t ipv6[16][16];
    int32_t ipv6_prefix_len[16];
    int32_t ipv6_scope[16];
    int32_t mtu;
};

// Fills info for the named interface; what was not obtained stays zero.
void query_interface(const char *name, interface_info &info,
                     const interface_query_files &files = INTERFACE_FILES);
// The MAC as a 48-bit big-endian number; 0 when there is none.
uint64_t interface_mac(const char *name, const interface_query_files &files = INTERFACE_FILES);
// The IPv4 address (host order) when the interface is up, else 0.
uint32_t interface_ipv4(const char *name, const interface_query_files &files = INTERFACE_FILES);
// Name of the interface of the best route toward destination (host order),
// in a static buffer; null when nothing matches.
const char *route_interface(uint32_t destination, const char *route_path = PROC_NET_ROUTE);
// The lowest non-zero MAC as 12 lower-case hex digits in a new text that the
// caller releases with free(); null when there is none.
char *lowest_mac_address(const interface_query_files &files = INTERFACE_FILES);
