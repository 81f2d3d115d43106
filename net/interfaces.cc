#include "net/interfaces.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/files.h"
#include "core/log.h"


namespace {

constexpr int IF_INET6_LINE_SIZE = 512;
constexpr int IPV6_ENTRIES = 16;
constexpr int VRRP_PATH_SIZE = 32;
constexpr int ROUTE_NAME_SIZE = 64;
constexpr int IFCONF_BUFFER_SIZE = 1024;
constexpr int MAC_TEXT_SIZE = 13;  // 12 hex digits and the NUL

// Every VRRP virtual-router MAC begins with the IANA prefix 00:00:5E.
constexpr uint8_t VRRP_MAC_PREFIX[3] = {0x00, 0x00, 0x5e};

// A name longer than the request's field is cut to 15 bytes, as the kernel
// would see it anyway.
void set_request_name(ifreq &request, const char *name)
{
    snprintf(request.ifr_name, sizeof request.ifr_name, "%s", name);
}

uint32_t request_ipv4(const ifreq &request)
{
    sockaddr_in address;
    memcpy(&address, &request.ifr_addr, sizeof address);
    return ntohl(address.sin_addr.s_addr);
}

// A router that is the VRRP master answers with the virtual MAC; the VRRP
// service writes the interface's own MAC into a file, and that is the one
// that identifies the router. No file or an unreadable one keeps the virtual
// MAC.
void apply_vrrp_rule(const char *name, uint8_t mac[6], const char *vrrp_mac_dir)
{
    if (memcmp(mac, VRRP_MAC_PREFIX, sizeof VRRP_MAC_PREFIX) != 0)
        return;
    char path[VRRP_PATH_SIZE];
    int length = snprintf(path, sizeof path, "%s%s.mac", vrrp_mac_dir, name);
    if (length < 0 || length >= VRRP_PATH_SIZE)
        return;
    unsigned int byte[6];
    if (sscanf(read_first_line(path), "%02X:%02X:%02X:%02X:%02X:%02X",
               &byte[0], &byte[1], &byte[2], &byte[3], &byte[4], &byte[5]) != 6)
        return;
    for (int i = 0; i < 6; i++)
        mac[i] = uint8_t(byte[i]);
}

void query_ioctls(int fd, const char *name, interface_info &info, const char *vrrp_mac_dir)
{
    ifreq request;
    memset(&request, 0, sizeof request);
    set_request_name(request, name);
    if (ioctl(fd, SIOCGIFINDEX, &request) == 0)
        info.index = request.ifr_ifindex;
    set_request_name(request, name);
    if (ioctl(fd, SIOCGIFFLAGS, &request) == 0) {
        info.flags = request.ifr_flags;
        info.is_up = (info.flags & IFF_UP) ? 1 : 0;
        info.is_running = info.flags & IFF_RUNNING;
    }
    set_request_name(request, name);
    if (ioctl(fd, SIOCGIFHWADDR, &request) == 0) {
        memcpy(info.mac, request.ifr_hwaddr.sa_data, sizeof info.mac);
        apply_vrrp_rule(name, info.mac, vrrp_mac_dir);
    }
    set_request_name(request, name);
    request.ifr_addr.sa_family = AF_INET;
    if (ioctl(fd, SIOCGIFADDR, &request) == 0)
        info.ipv4 = request_ipv4(request);
    set_request_name(request, name);
    if (ioctl(fd, SIOCGIFNETMASK, &request) == 0)
        info.netmask = request_ipv4(request);
    set_request_name(request, name);
    if (ioctl(fd, SIOCGIFMTU, &request) == 0)
        info.mtu = request.ifr_mtu;
}

// One line of the IPv6 table: address, interface index, prefix length,
// scope, flags and name. Only the first 16 addresses of an interface are kept.
void scan_ipv6(interface_info &info, const char *if_inet6)
{
    FILE *file = fopen(if_inet6, "r");
    if (file == nullptr)
        return;
    char line[IF_INET6_LINE_SIZE];
    int filled = 0;
    while (fgets(line, sizeof line, file) != nullptr) {
        unsigned int a[16], index, prefix_len, scope;
        int fields = sscanf(line,
            "%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x %08x %02x %02x",
            &a[0], &a[1], &a[2], &a[3], &a[4], &a[5], &a[6], &a[7], &a[8], &a[9],
            &a[10], &a[11], &a[12], &a[13], &a[14], &a[15], &index, &prefix_len, &scope);
        if (fields != 19 || int32_t(index) != info.index || filled == IPV6_ENTRIES)
            continue;
        for (int i = 0; i < 16; i++)
            info.ipv6[filled][i] = uint8_t(a[i]);
        info.ipv6_prefix_len[filled] = int32_t(prefix_len);
        info.ipv6_scope[filled] = int32_t(scope & 0xf0);
        filled++;
    }
    fclose(file);
}

}  // namespace

void query_interface(const char *name, interface_info &info, const interface_query_files &files)
{
    memset(&info, 0, sizeof info);
    if (name == nullptr)
        return;
    int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0) {
        log_message(LOG_ERR, "socket error: %s", strerror(errno));
        return;
    }
    query_ioctls(fd, name, info, files.vrrp_mac_dir);
    scan_ipv6(info, files.if_inet6);
    close(fd);
}

uint64_t interface_mac(const char *name, const interface_query_files &files)
{
    interface_info info;
    query_interface(name, info, files);
    uint64_t mac = 0;
    for (int i = 0; i < 6; i++)
        mac = (mac << 8) | info.mac[i];
    return mac;
}

uint32_t interface_ipv4(const char *name, const interface_query_files &files)
{
    if (name == nullptr)
        return 0;
    interface_info info;
    query_interface(name, info, files);
    return info.is_up ? info.ipv4 : 0;
}

const char *route_interface(uint32_t destination, const char *route_path)
{
    static char result[ROUTE_NAME_SIZE];
    result[0] = '\0';
    FILE *file = fopen(route_path, "r");
    if (file == nullptr)
        return nullptr;
    if (fscanf(file, "%*[^\n]\n") == EOF) {
        fclose(file);
        return nullptr;
    }
    // The table shows destinations and masks as the bytes of the network-order
    // address read as one native number; compare the wanted address alike.
    unsigned long wanted = htonl(destination);
    unsigned long chosen_mask = 0;
    char name[ROUTE_NAME_SIZE];
    unsigned long route, gateway, mask;
    unsigned int flags;
    int refcnt, use, metric, mtu, window, irtt;
    while (fscanf(file, "%63s%lx%lx%X%d%d%d%lx%d%d%d\n", name, &route, &gateway, &flags,
                  &refcnt, &use, &metric, &mask, &mtu, &window, &irtt) == 11) {
        if ((flags & RTF_UP) == 0 || ((wanted ^ route) & mask) != 0)
            continue;
        // Longest prefix wins; among equal masks the route listed later.
        if (mask >= chosen_mask) {
            memcpy(result, name, sizeof result);
            chosen_mask = mask;
        }
    }
    fclose(file);
    return result[0] != '\0' ? result : nullptr;
}

char *lowest_mac_address(const interface_query_files &files)
{
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        log_message(LOG_ERR, "socket error.");
        return nullptr;
    }
    alignas(ifreq) char buffer[IFCONF_BUFFER_SIZE];
    ifconf list;
    list.ifc_len = IFCONF_BUFFER_SIZE;
    list.ifc_buf = buffer;
    if (ioctl(fd, SIOCGIFCONF, &list) < 0) {
        log_message(LOG_ERR, "ioctl error.");
        close(fd);
        return nullptr;
    }
    // The list holds whole interface request records, each beginning with
    // the interface's name; only interfaces with an IPv4 address are listed.
    uint64_t best = ~uint64_t(0);
    for (size_t at = 0; at + sizeof(ifreq) <= size_t(list.ifc_len); at += sizeof(ifreq)) {
        char name[IFNAMSIZ + 1];
        memcpy(name, buffer + at, IFNAMSIZ);
        name[IFNAMSIZ] = '\0';
        uint64_t mac = interface_mac(name, files);
        if (mac != 0 && mac < best)
            best = mac;
    }
    close(fd);
    // The all-ones start value needs 16 digits: no interface had a MAC.
    char text[MAC_TEXT_SIZE];
    int length = snprintf(text, sizeof text, "%012llx", (unsigned long long)best);
    if (length < 0 || length >= MAC_TEXT_SIZE) {
        log_message(LOG_ERR, "Error assembling lowest HW address: %d.", length);
        return nullptr;
    }
    char *result = static_cast<char *>(malloc(MAC_TEXT_SIZE));
    if (result == nullptr) {
        log_message(LOG_ERR, "Error allocating lowest HW address.");
        return nullptr;
    }
    memcpy(result, text, MAC_TEXT_SIZE);
    return result;
}
