// Open descriptors of one process before and after a run of SNMPv3 sends
// whose engine ID is the router's lowest MAC address (payload type 3), in a
// network namespace of its own. The tool is not run: each command line is
// only counted. Built and run by snmp_memory.sh; needs root.
//
// Usage: snmp_fd_probe [SENDS]   (1000 by default)
#include "core/command.h"
#include "notify/snmp.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <sched.h>

namespace {

int commands_seen = 0;
char last_command[SNMP_COMMAND_SIZE];

int count_command(const char *command_line)
{
    commands_seen++;
    snprintf(last_command, sizeof last_command, "%s", command_line);
    return 0;
}

// Entries of /proc/self/fd, less ".", ".." and the listing's own descriptor.
int open_descriptors()
{
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return -1;
    int count = 0;
    while (readdir(dir) != nullptr)
        count++;
    closedir(dir);
    return count - 3;
}

double seconds_now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

const char *const SET_UP_NETWORK =
    "ip link set lo up && ip link add v0 type veth peer name v0p && "
    "ip link set v0 address 00:11:22:33:44:55 && ip addr add 10.7.0.1/24 dev v0 && "
    "ip link set v0 up && ip link set v0p up";

snmp_settings mac_engine_settings()
{
    snmp_settings s;
    memset(&s, 0, sizeof s);
    s.version = 3;
    s.manager_ip = (192u << 24) | (2u << 8) | 10u;
    s.manager_port = 162;
    s.product_oid = "1.3.6.1.4.1." ENTERPRISE_NUMBER_TEXT ".1.1000";
    s.community = "public";
    s.engine_id_payload_type = 3;
    s.engine_id_hex_payload = "";
    s.context_name = "";
    s.username = "admin";
    s.auth = "SHA";
    s.auth_password = "authpass1";
    s.priv = "AES";
    s.priv_password = "privpass1";
    return s;
}

}  // namespace

int main(int argc, char **argv)
{
    int sends = argc > 1 ? atoi(argv[1]) : 1000;
    if (unshare(CLONE_NEWNET) != 0) {
        fprintf(stderr, "unshare: %s\n", strerror(errno));
        return 2;
    }
    if (system(SET_UP_NETWORK) != 0) {
        fprintf(stderr, "network set-up failed\n");
        return 2;
    }
    run_shell = count_command;
    snmp_settings s = mac_engine_settings();
    if (send_snmp(8, s) != 0) {
        fprintf(stderr, "the first send failed\n");
        return 1;
    }
    int before = open_descriptors();
    int failed = 0;
    double started = seconds_now();
    for (int i = 0; i < sends; i++)
        failed += send_snmp(8, s) != 0;
    double elapsed = seconds_now() - started;
    int after = open_descriptors();
    printf("sends: %d, failed: %d, command lines formed: %d\n", sends, failed, commands_seen - 1);
    printf("open descriptors before: %d, after: %d\n", before, after);
    printf("time per send: %.1f us (interface queries and formatting, no tool run)\n",
           sends > 0 ? elapsed * 1e6 / sends : 0.0);
    printf("last command: %s\n", last_command);
    return failed != 0 || before != after ? 1 : 0;
}
