#include "net/interfaces.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <net/if.h>
#include <string>
#include <sys/resource.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include "tests/support/test_support.h"

namespace {

// ---- helpers -------------------------------------------------------------

const char *const IDENT = "interfaces_test";

std::string mac_text(char *owned)
{
    std::string text = owned ? owned : "(null)";
    free(owned);
    return text;
}

// ---- route lookup over route table fixtures ------------------------------

// The kernel's route table shows each address as the bytes of its network
// order read as one little-endian number (this machine): 10.1.2.0 is 0002010A.
const char ROUTE_HEADER[] =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT"
    "                                                       \n";

std::string route_line(const char *name, const char *destination, const char *flags,
                       const char *mask)
{
    return std::string(name) + "\t" + destination + "\t00000000\t" + flags + "\t0\t0\t0\t" +
           mask + "\t0\t0\t0                                                                    \n";
}

uint32_t ip(const char *dotted)
{
    in_addr address;
    EXPECT_EQ(inet_pton(AF_INET, dotted, &address), 1);
    return ntohl(address.s_addr);
}

std::string route_of(uint32_t destination, const std::string &path)
{
    const char *name = route_interface(destination, path.c_str());
    return name ? name : "(null)";
}

// A route table of the header and lines, written to dir/route; its path.
std::string route_table(const temp_dir &dir, std::initializer_list<std::string> lines)
{
    std::string text = ROUTE_HEADER;
    for (const std::string &line : lines)
        text += line;
    return dir.write("route", text);
}

TEST(interfaces_route_lookup, longest_prefix_wins_and_default_route_only_when_nothing_longer)
{
    temp_dir dir("interfaces_test");
    std::string path = route_table(dir, {route_line("wan0", "00000000", "0003", "00000000"),
                                         route_line("lan16", "0000010A", "0001", "0000FFFF"),
                                         route_line("lan24", "0002010A", "0001", "00FFFFFF")});
    EXPECT_EQ(route_of(ip("10.1.2.3"), path), "lan24");
    EXPECT_EQ(route_of(ip("10.1.9.9"), path), "lan16");
    EXPECT_EQ(route_of(ip("192.0.2.1"), path), "wan0");
    // The same routes listed the other way round.
    path = route_table(dir, {route_line("lan24", "0002010A", "0001", "00FFFFFF"),
                             route_line("lan16", "0000010A", "0001", "0000FFFF"),
                             route_line("wan0", "00000000", "0003", "00000000")});
    EXPECT_EQ(route_of(ip("10.1.2.3"), path), "lan24");
    EXPECT_EQ(route_of(ip("10.1.9.9"), path), "lan16");
}

TEST(interfaces_route_lookup, among_equal_masks_the_route_listed_later_wins)
{
    temp_dir dir("interfaces_test");
    std::string path = route_table(dir, {route_line("first", "0002010A", "0001", "00FFFFFF"),
                                         route_line("second", "0002010A", "0001", "00FFFFFF"),
                                         route_line("wan1", "00000000", "0003", "00000000"),
                                         route_line("wan2", "00000000", "0003", "00000000")});
    EXPECT_EQ(route_of(ip("10.1.2.3"), path), "second");
    EXPECT_EQ(route_of(ip("198.51.100.7"), path), "wan2");
}

TEST(interfaces_route_lookup, route_without_up_flag_is_never_chosen)
{
    temp_dir dir("interfaces_test");
    std::string path = route_table(dir, {route_line("wan0", "00000000", "0003", "00000000"),
                                         route_line("down24", "0002010A", "0002", "00FFFFFF"),
                                         route_line("down16", "0000020A", "0000", "0000FFFF")});
    // A longer but down route loses to the default route ...
    EXPECT_EQ(route_of(ip("10.1.2.3"), path), "wan0");
    // ... and a down route that is the only match gives no interface.
    path = route_table(dir, {route_line("down24", "0002010A", "0002", "00FFFFFF")});
    EXPECT_EQ(route_of(ip("10.1.2.3"), path), "(null)");
}

TEST(interfaces_route_lookup, no_match_gives_null_even_after_an_earlier_match)
{
    temp_dir dir("interfaces_test");
    std::string path = route_table(dir, {route_line("lan24", "0002010A", "0001", "00FFFFFF")});
    EXPECT_EQ(route_of(ip("10.1.2.3"), path), "lan24");
    EXPECT_EQ(route_of(ip("10.1.3.3"), path), "(null)");
}

TEST(interfaces_route_lookup, missing_empty_or_header_only_table_gives_null)
{
    EXPECT_EQ(route_of(ip("10.1.2.3"), "/nonexistent/route"), "(null)");
    temp_dir dir("interfaces_test");
    EXPECT_EQ(route_of(ip("10.1.2.3"), dir.write("empty", "")), "(null)");
    EXPECT_EQ(route_of(ip("10.1.2.3"), route_table(dir, {})), "(null)");
}

TEST(interfaces_route_lookup, reading_stops_at_the_first_incomplete_line)
{
    temp_dir dir("interfaces_test");
    std::string path = route_table(dir, {route_line("wan0", "00000000", "0003", "00000000"),
                                         "broken\t0002010A\t00000000\t0001\n",
                                         route_line("lan24", "0002010A", "0001", "00FFFFFF")});
    EXPECT_EQ(route_of(ip("10.1.2.3"), path), "wan0");
}

// ---- real kernel state in a throwaway network namespace ------------------

// Each test gets an empty network namespace of its own (only a down
// loopback), builds the interfaces it needs with ip(8), and goes back to the
// original namespace afterwards; the host's interfaces are never touched.
class kernel_interfaces : public ::testing::Test {
protected:
    private_network network;
    temp_dir vrrp_dir{"vrrp"};
    std::string vrrp_folder = vrrp_dir.path() + "/";
    interface_query_files files = {PROC_NET_IF_INET6, vrrp_folder.c_str()};

    void SetUp() override
    {
        SKIP_WITHOUT_NETWORK_NAMESPACE();
        ASSERT_TRUE(network.enter()) << strerror(errno);
        ASSERT_FALSE(vrrp_dir.path().empty());
    }

    void write_vrrp_file(const char *name, const std::string &content)
    {
        vrrp_dir.write(std::string(name) + ".mac", content);
    }
};

// The addresses of name in the kernel's IPv6 table, in file order, found by
// the name column.
std::vector<std::vector<uint8_t>> ipv6_addresses_of(const char *name)
{
    std::vector<std::vector<uint8_t>> found;
    FILE *file = fopen("/proc/net/if_inet6", "r");
    char hex[33], device[IFNAMSIZ];
    unsigned index, prefix, scope, flags;
    while (file && fscanf(file, "%32s %x %x %x %x %15s", hex, &index, &prefix, &scope, &flags,
                          device) == 6) {
        if (strcmp(device, name) != 0)
            continue;
        std::vector<uint8_t> address(16);
        for (int i = 0; i < 16; i++)
            address[i] = uint8_t(std::stoul(std::string(hex + 2 * i, 2), nullptr, 16));
        found.push_back(address);
    }
    if (file)
        fclose(file);
    return found;
}

bool holds_ipv6(const interface_info &info, const char *text, int prefix_len, int scope)
{
    uint8_t wanted[16];
    EXPECT_EQ(inet_pton(AF_INET6, text, wanted), 1);
    for (int i = 0; i < 16; i++) {
        if (memcmp(info.ipv6[i], wanted, 16) == 0)
            return info.ipv6_prefix_len[i] == prefix_len && info.ipv6_scope[i] == scope;
    }
    return false;
}

TEST_F(kernel_interfaces, query_reads_every_field_from_the_kernel)
{
    network.add_veth("v0", "00:11:22:33:44:55", "10.7.0.5/16");
    network.run("ip link set v0 mtu 1400");
    network.run("ip -6 addr add 2001:db8::5/64 dev v0 nodad");
    interface_info info;
    query_interface("v0", info, files);
    EXPECT_EQ(info.index, int32_t(if_nametoindex("v0")));
    EXPECT_NE(info.flags & IFF_UP, 0);
    EXPECT_EQ(info.is_up, 1);
    EXPECT_EQ(info.is_running, 0x40);
    const uint8_t mac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    EXPECT_EQ(memcmp(info.mac, mac, 6), 0);
    EXPECT_EQ(info.ipv4, ip("10.7.0.5"));
    EXPECT_EQ(info.netmask, 0xFFFF0000u);
    EXPECT_EQ(info.mtu, 1400);
    EXPECT_TRUE(holds_ipv6(info, "2001:db8::5", 64, 0x00));
    // The link-local address the kernel derives from the MAC: scope link.
    EXPECT_TRUE(holds_ipv6(info, "fe80::211:22ff:fe33:4455", 64, 0x20));
}

TEST_F(kernel_interfaces, unknown_or_null_name_leaves_the_whole_record_zero)
{
    interface_info zero;
    memset(&zero, 0, sizeof zero);
    interface_info info;
    memset(&info, 0xAB, sizeof info);
    query_interface("nosuch0", info, files);
    EXPECT_EQ(memcmp(&info, &zero, sizeof info), 0);
    memset(&info, 0xAB, sizeof info);
    query_interface(nullptr, info, files);
    EXPECT_EQ(memcmp(&info, &zero, sizeof info), 0);
}

TEST_F(kernel_interfaces, only_the_first_sixteen_ipv6_addresses_are_kept_in_table_order)
{
    network.add_veth("v0", "00:11:22:33:44:55", "10.7.0.5/16");
    for (int i = 0; i < 20; i++)
        network.run("ip -6 addr add 2001:db8::" + std::to_string(100 + i) + "/64 dev v0 nodad");
    std::vector<std::vector<uint8_t>> table = ipv6_addresses_of("v0");
    ASSERT_GE(table.size(), 20u);
    interface_info info;
    query_interface("v0", info, files);
    for (int i = 0; i < 16; i++)
        EXPECT_EQ(memcmp(info.ipv6[i], table[i].data(), 16), 0) << "entry " << i;
    EXPECT_EQ(info.mtu, 1500);  // the field after the table is intact
}

TEST_F(kernel_interfaces, missing_ipv6_table_leaves_ipv6_zero_and_the_rest_filled)
{
    network.add_veth("v0", "00:11:22:33:44:55", "10.7.0.5/16");
    network.run("ip -6 addr add 2001:db8::5/64 dev v0 nodad");
    files.if_inet6 = "/nonexistent/if_inet6";
    interface_info info;
    query_interface("v0", info, files);
    uint8_t zero[sizeof info.ipv6] = {};
    EXPECT_EQ(memcmp(info.ipv6, zero, sizeof zero), 0);
    for (int i = 0; i < 16; i++) {
        EXPECT_EQ(info.ipv6_prefix_len[i], 0);
        EXPECT_EQ(info.ipv6_scope[i], 0);
    }
    EXPECT_EQ(info.ipv4, ip("10.7.0.5"));
    EXPECT_EQ(interface_mac("v0", files), 0x001122334455u);
    EXPECT_EQ(info.mtu, 1500);
}

TEST_F(kernel_interfaces, ipv4_only_while_the_interface_is_up)
{
    network.add_veth("v0", "00:11:22:33:44:55", "10.7.0.5/16");
    EXPECT_EQ(interface_ipv4("v0"), ip("10.7.0.5"));
    network.run("ip link set v0 down");
    EXPECT_EQ(interface_ipv4("v0"), 0u);
    interface_info info;
    query_interface("v0", info, files);  // the address stays; only the flags changed
    EXPECT_EQ(info.ipv4, ip("10.7.0.5"));
    EXPECT_EQ(info.is_up, 0);
    EXPECT_EQ(info.is_running, 0);
    EXPECT_EQ(interface_ipv4(nullptr), 0u);
    EXPECT_EQ(interface_ipv4("nosuch0"), 0u);
}

TEST_F(kernel_interfaces, mac_is_a_big_endian_number_and_zero_without_one)
{
    network.add_veth("v0", "00:11:22:33:44:55", "10.7.0.5/16");
    network.add_veth("v1", "fe:dc:ba:98:76:54");
    EXPECT_EQ(interface_mac("v0", files), 0x001122334455u);
    EXPECT_EQ(interface_mac("v1", files), 0xfedcba987654u);
    EXPECT_EQ(interface_mac("lo", files), 0u);
    EXPECT_EQ(interface_mac("nosuch0", files), 0u);
}

TEST_F(kernel_interfaces, lowest_mac_skips_loopback_and_takes_the_smaller)
{
    network.run("ip link set lo up");  // listed with 127.0.0.1 and an all-zero MAC
    network.add_veth("v0", "00:11:22:33:44:55", "10.7.0.5/24");
    network.add_veth("v1", "00:11:22:33:44:54", "10.8.0.5/24");
    EXPECT_EQ(mac_text(lowest_mac_address(files)), "001122334454");
}

TEST_F(kernel_interfaces, lowest_mac_is_written_in_lower_case)
{
    network.add_veth("v0", "0a:bc:de:f0:12:34", "10.7.0.5/24");
    EXPECT_EQ(mac_text(lowest_mac_address(files)), "0abcdef01234");
}

TEST_F(kernel_interfaces, lowest_mac_counts_only_interfaces_with_an_ipv4_address)
{
    network.add_veth("v0", "00:11:22:33:44:55", "10.7.0.5/24");
    network.add_veth("v1", "00:00:00:00:00:01");
    EXPECT_EQ(mac_text(lowest_mac_address(files)), "001122334455");
}

TEST_F(kernel_interfaces, lowest_mac_considers_every_listed_interface)
{
    // Created from the highest MAC down, so the lowest is listed last: a walk
    // through the list in steps other than the kernel's record size misses it.
    for (int i = 0; i < 8; i++) {
        char mac[18];
        snprintf(mac, sizeof mac, "02:00:00:00:00:%02x", 0x40 - i);
        network.add_veth("v" + std::to_string(i), mac, "10.9." + std::to_string(i) + ".1/24");
    }
    EXPECT_EQ(mac_text(lowest_mac_address(files)), "020000000039");
}

TEST_F(kernel_interfaces, no_interface_with_a_mac_gives_null_and_logs_the_length)
{
    network.run("ip link set lo up");
    syslog_capture errors(IDENT, LOG_MASK(LOG_ERR));
    EXPECT_EQ(lowest_mac_address(files), nullptr);
    EXPECT_EQ(errors.text(), "interfaces_test: Error assembling lowest HW address: 16.\n");
    // The same with no listed interface at all (loopback down, no address).
    network.run("ip link set lo down");
    errors.clear();
    EXPECT_EQ(lowest_mac_address(files), nullptr);
    EXPECT_EQ(errors.text(), "interfaces_test: Error assembling lowest HW address: 16.\n");
}

TEST_F(kernel_interfaces, vrrp_interface_counts_with_the_mac_its_file_names)
{
    network.add_veth("v0", "00:00:5e:00:01:0a", "10.7.0.5/24");
    network.add_veth("v1", "00:11:22:33:44:60", "10.8.0.5/24");
    // Without the file the virtual MAC itself counts.
    EXPECT_EQ(mac_text(lowest_mac_address(files)), "00005e00010a");
    write_vrrp_file("v0", "00:11:22:33:44:50\n");
    EXPECT_EQ(interface_mac("v0", files), 0x001122334450u);
    EXPECT_EQ(mac_text(lowest_mac_address(files)), "001122334450");
    interface_info info;
    query_interface("v0", info, files);
    const uint8_t real_mac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x50};
    EXPECT_EQ(memcmp(info.mac, real_mac, 6), 0);
}

TEST_F(kernel_interfaces, unreadable_vrrp_file_keeps_the_virtual_mac)
{
    network.add_veth("v0", "00:00:5e:00:01:0a", "10.7.0.5/24");
    write_vrrp_file("v0", "");
    EXPECT_EQ(interface_mac("v0", files), 0x00005e00010au);
    write_vrrp_file("v0", "00:11:22:33:44\n");
    EXPECT_EQ(interface_mac("v0", files), 0x00005e00010au);
    write_vrrp_file("v0", "not a mac\n");
    EXPECT_EQ(interface_mac("v0", files), 0x00005e00010au);
}

TEST_F(kernel_interfaces, vrrp_rule_looks_only_at_the_first_three_mac_bytes)
{
    network.add_veth("v0", "00:00:5e:12:34:56", "10.7.0.5/24");
    network.add_veth("v1", "00:00:5f:00:01:0a", "10.8.0.5/24");
    write_vrrp_file("v0", "00:11:22:33:44:50\n");
    write_vrrp_file("v1", "00:11:22:33:44:51\n");
    EXPECT_EQ(interface_mac("v0", files), 0x001122334450u);
    EXPECT_EQ(interface_mac("v1", files), 0x00005f00010au);
}

TEST_F(kernel_interfaces, repeated_queries_leave_no_descriptor_open)
{
    network.add_veth("v0", "00:00:5e:00:01:0a", "10.7.0.5/24");
    network.add_veth("v1", "00:11:22:33:44:60", "10.8.0.5/24");
    write_vrrp_file("v0", "00:11:22:33:44:50\n");
    temp_dir dir("interfaces_test");
    std::string path = route_table(dir, {route_line("v0", "0000070A", "0001", "00FFFFFF")});
    int before = open_descriptor_count();
    int wrong = 0;
    for (int i = 0; i < 1000; i++) {
        char *mac = lowest_mac_address(files);
        if (mac == nullptr || strcmp(mac, "001122334450") != 0)
            wrong++;
        free(mac);
        if (interface_ipv4(route_interface(ip("10.7.0.9"), path.c_str())) != ip("10.7.0.5"))
            wrong++;
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(open_descriptor_count(), before);
}

TEST_F(kernel_interfaces, socket_failure_is_logged_and_gives_nothing)
{
    network.add_veth("v0", "00:11:22:33:44:55", "10.7.0.5/24");
    rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    interface_info info;
    memset(&info, 0xAB, sizeof info);
    syslog_capture errors(IDENT, LOG_MASK(LOG_ERR));
    // Use up every descriptor below a small limit.
    rlimit tight = {64, saved.rlim_max};
    setrlimit(RLIMIT_NOFILE, &tight);
    std::vector<int> held;
    for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;)
        held.push_back(fd);
    char *result = lowest_mac_address(files);
    query_interface("v0", info, files);
    for (int fd : held)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(result, nullptr);
    interface_info zero;
    memset(&zero, 0, sizeof zero);
    EXPECT_EQ(memcmp(&info, &zero, sizeof info), 0);
    EXPECT_EQ(errors.text(), "interfaces_test: socket error.\n"
                             "interfaces_test: socket error: Too many open files\n");
}

}  // namespace
