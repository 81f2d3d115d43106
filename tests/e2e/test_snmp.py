"""SNMP notifications from the real daemon to a real snmptrapd playing the
manager, on a simulated router with three Ethernet ports.

Every check looks at both ends: the argument vector the router's trap or
inform tool was given (recorded by the stand-in, which then runs Net-SNMP's
snmptrap / snmpinform) and what the manager actually received.

The router, set up once for the whole file:

    eth0  VRRP virtual MAC 00:00:5e:00:01:0a, 10.0.0.1/8, default route;
          /run/vrrp/eth0.mac names its own MAC 00:1A:2B:3C:4D:50
    eth1  00:1a:2b:3c:4d:55, 10.9.0.1/24
    eth2  00:1a:2b:3c:4d:54, 10.9.200.1/16
    p1    (eth1's peer) 0a:00:00:00:00:01, the manager's address 10.9.0.2/32

The manager 10.9.0.2 is matched by the default route, 10.0.0.0/8 (eth0),
10.9.0.0/16 (eth2) and 10.9.0.0/24 (eth1): eth1 is the longest prefix. The
lowest MAC among interfaces with an IPv4 address is eth0's once the VRRP
file is read (001a2b3c4d50), and the virtual MAC (00005e00010a) without it.
"""
import os
import shutil
import re
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "simrouter"))

from router import DAEMON, LOG_ERR, Router, TrapReceiver, now_line  # noqa: E402


def enterprise_number():
    cache = os.path.join(os.path.dirname(DAEMON), "CMakeCache.txt")
    try:
        with open(cache) as f:
            m = re.search(r"^NORVALE_ENTERPRISE_NUMBER:\w+=(\d+)$", f.read(), re.M)
            if m:
                return int(m.group(1))
    except OSError:
        pass
    return 32473


ENTERPRISE = enterprise_number()
PRODUCT_OID = "1.3.6.1.4.1.%d.1.4242" % ENTERPRISE
ENGINE_PREFIX = "%08x" % (0x80000000 | ENTERPRISE)
ENGINE_BY_MAC = ENGINE_PREFIX + "03" + "001a2b3c4d50"
ENGINE_BY_VIRTUAL_MAC = ENGINE_PREFIX + "03" + "00005e00010a"
ENGINE_BY_HEX = ENGINE_PREFIX + "05" + "0a0b0c"

MANAGER = "10.9.0.2"
PORT = 1162
COMMUNITY = "nvcomm"
# Values the shell must not touch: quotes, an expansion, a substitution.
ODD_COMMUNITY = "o'neil's $HOME `id` \"q\""
ODD_USER, ODD_AUTH_PASS, ODD_CONTEXT = "o'brien", "pa'ss word $x", "c'tx"

CONFIG_LINE = "cfg: user 'admin' updated configuration of LAN"
PASSWORD_LINE = "passwd[901]: pam_unix(passwd:chauthtok): password changed for admin"
LOGIN_LINE = "login[812]: pam_unix(login:auth): authentication failure; user=admin"

GAUGE = "Gauge32"


def event_oid(code):
    return "1.3.6.1.4.1.%d.3.101.%d.0" % (ENTERPRISE, code)


def received_oids(notes):
    """The one variable of each notification, as (oid, type, value)."""
    return [tuple(n["varbinds"]) for n in notes]


def one_var(code):
    return (("." + event_oid(code), GAUGE, "1"),)


def settings(**snmp):
    s = {
        "MOD_NORVALE_ENABLED": "1",
        "MOD_NORVALE_DEVICE_NAME": "R1",
        "MOD_NORVALE_SNMP_MANAGER_IP_ADDR": MANAGER,
        "MOD_NORVALE_SNMP_MANAGER_PORT": str(PORT),
        "MOD_NORVALE_SNMP_COMMUNITY": COMMUNITY,
    }
    for event in ("CONFIG_CHANGED", "PASSWORD_CHANGED", "LOGIN_FAILED", "TEST_EVENT"):
        s["MOD_NORVALE_EVENT_%s_SUBSCRIBE_TRAP" % event] = "1"
    s.update({"MOD_NORVALE_SNMP_" + k.upper(): str(v) for k, v in snmp.items()})
    # As the router writes the file: every value in double quotes, of which
    # the reader drops the first and cuts at the last.
    return {k: '"%s"' % v for k, v in s.items()}


def v1_args(agent, code, community=COMMUNITY, manager="%s:%d" % (MANAGER, PORT)):
    return ["-v", "1", "-c", community, manager, PRODUCT_OID, agent, "6", "1", "", event_oid(code), "u", "1"]


def v2c_args(code, community=COMMUNITY, manager="%s:%d" % (MANAGER, PORT)):
    return ["-v", "2c", "-c", community, manager, "", PRODUCT_OID, event_oid(code), "u", "1"]


def v3_args(security, engine, context, code):
    return (["-v", "3"] + security + ["-e", engine, "-E", engine, "-n", context,
                                      "%s:%d" % (MANAGER, PORT), "", PRODUCT_OID, event_oid(code), "u", "1"])


def config_word(text):
    """text as one double-quoted word of snmptrapd.conf."""
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


# Values holding quotes are configured through the underlying access tables:
# authCommunity and authUser re-quote their argument between single quotes.
ODD_VALUES_ACCESS = "\n".join([
    "view nvall included .1",
    "com2sec nvoddsec default %s" % config_word(ODD_COMMUNITY),
    "group nvoddgrp v2c nvoddsec",
    "authAccess log nvoddgrp nvall noauthnopriv",
    "createUser -e 0x%s %s SHA %s" % (ENGINE_BY_MAC, config_word(ODD_USER), config_word(ODD_AUTH_PASS)),
    "group nvodduser usm %s" % config_word(ODD_USER),
    "authAccess log nvodduser nvall authnopriv *",
])

USERS = [
    {"name": "nvnoauth", "engine_id": ENGINE_BY_MAC},
    {"name": "nvauth", "engine_id": ENGINE_BY_MAC, "auth": "SHA", "auth_pass": "authpass1"},
    {"name": "nvpriv", "engine_id": ENGINE_BY_MAC, "auth": "SHA", "auth_pass": "authpass2",
     "priv": "AES", "priv_pass": "privpass2"},
    {"name": "nvhex", "engine_id": ENGINE_BY_HEX, "auth": "SHA", "auth_pass": "authpass3"},
]

SECURITY = {
    "noAuthNoPriv": ({"username": "nvnoauth"}, ["-l", "noAuthNoPriv", "-u", "nvnoauth"]),
    "authNoPriv": ({"username": "nvauth", "auth": "SHA", "auth_password": "authpass1"},
                   ["-l", "authNoPriv", "-u", "nvauth", "-a", "SHA", "-A", "authpass1"]),
    "authPriv": ({"username": "nvpriv", "auth": "SHA", "auth_password": "authpass2", "priv": "AES",
                  "priv_password": "privpass2"},
                 ["-l", "authPriv", "-u", "nvpriv", "-a", "SHA", "-A", "authpass2", "-x", "AES", "-X", "privpass2"]),
}


class Snmp(unittest.TestCase):
    """One router and one manager for every test; the daemon is started
    afresh for each settings file and stopped at the end of its test."""

    @classmethod
    def setUpClass(cls):
        r = Router(os_release="ZEB_PRODUCT_OID=%s\n" % PRODUCT_OID)
        try:
            r.add_cable("eth0", "00:00:5e:00:01:0a", "10.0.0.1/8")
            r.add_cable("eth1", "00:1a:2b:3c:4d:55", "10.9.0.1/24")
            r.add_cable("eth2", "00:1a:2b:3c:4d:54", "10.9.200.1/16")
            r.netns("ip", "route", "add", "default", "via", "10.0.0.254", "dev", "eth0")
            r.netns("ip", "link", "set", "p1", "address", "0a:00:00:00:00:01")
            r.netns("ip", "addr", "add", MANAGER + "/32", "dev", "p1")
            r.write_file("run/vrrp/eth0.mac", "00:1A:2B:3C:4D:50\n")
            # Every trap user is localised to the engine ID the router must
            # send: a trap under any other engine ID is dropped.
            cls.manager = TrapReceiver(r, PORT, address=MANAGER, community=[COMMUNITY], users=USERS,
                                       extra=ODD_VALUES_ACCESS)
        except BaseException:
            r.close()
            raise
        cls.r = r

    @classmethod
    def tearDownClass(cls):
        cls.r.close()

    # ----- helpers -----------------------------------------------------------
    def start(self, **snmp):
        r = self.r
        self.stop_daemon()
        # Each start is a router of its own: a trap cut off by the last stop
        # would otherwise be kept and sent again first.
        shutil.rmtree(r.path("run/norvale-eventd"), ignore_errors=True)
        r.write_settings(settings(**snmp))
        self.calls_before = max([n for n, _, _ in r.numbered_calls()], default=0)
        self.notes_before = len(self.manager.notifications())
        self.errors_before = len(self.sending_errors())
        started = len(r.log.find("started"))
        r.start()
        self.addCleanup(self.stop_daemon)
        r.wait_log("started", count=started + 1)

    def stop_daemon(self):
        if self.r.proc and self.r.proc.poll() is None:
            self.assertEqual(self.r.stop(), 0)

    def new_calls(self):
        return [(t, args) for _, t, args in self.r.numbered_calls(after=self.calls_before)]

    def wait_new_calls(self, count, timeout=10):
        return self.r.wait_for(lambda: len(self.new_calls()) >= count and self.new_calls(), timeout,
                               "%d new tool calls" % count)

    def received(self, count, timeout=10):
        return self.manager.wait_for(self.notes_before + count, timeout)[self.notes_before:]

    def all_received(self):
        return self.manager.notifications()[self.notes_before:]

    def sending_errors(self):
        return [rec for rec in self.r.log.all() if rec["text"].startswith("Error sending SNMP Trap/Inform: ")]

    def new_sending_errors(self):
        return self.sending_errors()[self.errors_before:]

    def check_v3(self, note, pdu, user, context, code):
        self.assertEqual((note["version"], note["pdu"], note["user"], note["context"]),
                         ("v3", pdu, user, context))
        self.assertEqual(note["trap_oid"], "." + PRODUCT_OID)
        self.assertEqual(tuple(note["varbinds"]), one_var(code))

    # ----- SNMPv1 --------------------------------------------------------------
    def test_v1_trap_carries_the_address_of_the_port_with_the_longest_route_to_the_manager(self):
        routes = self.r.netns("ip", "-4", "route", "show", "table", "main").stdout
        for route in ("default via 10.0.0.254 dev eth0", "10.0.0.0/8 dev eth0", "10.9.0.0/24 dev eth1",
                      "10.9.0.0/16 dev eth2"):
            self.assertIn(route, routes)  # every one of them matches the manager
        # The inform setting means nothing to SNMPv1: still a trap.
        self.start(version=1, pdu_type=1)
        self.r.request_test_event()
        self.assertEqual(self.wait_new_calls(1), [("net-snmptrap", v1_args("10.9.0.1", 8))])
        note = self.received(1)[0]
        self.assertEqual((note["version"], note["pdu"], note["community"]), ("v1", "TRAP", COMMUNITY))
        self.assertEqual((note["agent"], note["enterprise"], note["generic"], note["specific"].lstrip(".")),
                         ("10.9.0.1", "." + PRODUCT_OID, "6", "1"))
        self.assertEqual(tuple(note["varbinds"]), one_var(8))

        # Routes are read again for every trap: a host route on eth2 now wins.
        self.r.netns("ip", "route", "add", MANAGER + "/32", "dev", "eth2")
        self.addCleanup(self.r.netns, "ip", "route", "del", MANAGER + "/32", "dev", "eth2", check=False)
        self.r.send_lines(now_line(CONFIG_LINE))
        self.assertEqual([args for _, args in self.wait_new_calls(2)],
                         [v1_args("10.9.0.1", 8), v1_args("10.9.200.1", 1)])
        notes = self.received(2)
        self.assertEqual((notes[1]["agent"], tuple(notes[1]["varbinds"])), ("10.9.200.1", one_var(1)))

    # ----- SNMPv2c -------------------------------------------------------------
    def test_v2c_trap_and_inform_reach_the_manager(self):
        for pdu_type, tool, pdu, code in ((0, "net-snmptrap", "TRAP2", 8), (1, "net-snmpinform", "INFORM", 1)):
            with self.subTest(pdu_type=pdu_type):
                self.start(version=2, pdu_type=pdu_type)
                if code == 8:
                    self.r.request_test_event()
                else:
                    self.r.send_lines(now_line(CONFIG_LINE))
                self.assertEqual(self.wait_new_calls(1), [(tool, v2c_args(code))])
                note = self.received(1)[0]
                self.assertEqual((note["version"], note["pdu"], note["community"]), ("v2c", pdu, COMMUNITY))
                self.assertEqual(note["trap_oid"], "." + PRODUCT_OID)
                self.assertEqual(tuple(note["varbinds"]), one_var(code))
                self.assertEqual(self.new_sending_errors(), [])
                self.stop_daemon()

    # ----- SNMPv3 --------------------------------------------------------------
    def test_v3_traps_at_each_security_level_with_the_lowest_mac_engine_id(self):
        for level, (snmp, security) in SECURITY.items():
            with self.subTest(level=level):
                self.start(version=3, engine_id_payload_type=3, context_name="nvctx", **snmp)
                self.r.request_test_event()
                self.assertEqual(self.wait_new_calls(1),
                                 [("net-snmptrap", v3_args(security, ENGINE_BY_MAC, "nvctx", 8))])
                note = self.received(1)[0]
                self.check_v3(note, "TRAP2", snmp["username"], "nvctx", 8)
                self.stop_daemon()

    def test_v3_engine_id_follows_the_vrrp_mac_file_at_every_send(self):
        snmp, security = SECURITY["noAuthNoPriv"]
        self.start(version=3, engine_id_payload_type=3, **snmp)
        self.r.request_test_event()
        self.assertEqual(self.wait_new_calls(1), [("net-snmptrap", v3_args(security, ENGINE_BY_MAC, "", 8))])
        self.received(1)
        # Without the file eth0 counts with its virtual MAC, now the lowest.
        vrrp_file = self.r.path("run/vrrp/eth0.mac")
        os.rename(vrrp_file, vrrp_file + ".away")
        self.addCleanup(lambda: os.path.exists(vrrp_file + ".away") and os.rename(vrrp_file + ".away", vrrp_file))
        self.r.send_lines(now_line(CONFIG_LINE))
        self.wait_new_calls(2)
        os.rename(vrrp_file + ".away", vrrp_file)
        self.r.send_lines(now_line(PASSWORD_LINE))
        self.received(2)
        self.assertEqual([args for _, args in self.new_calls()], [
            v3_args(security, ENGINE_BY_MAC, "", 8),
            v3_args(security, ENGINE_BY_VIRTUAL_MAC, "", 1),
            v3_args(security, ENGINE_BY_MAC, "", 2),
        ])
        # The manager knows the user only under the right engine ID: the trap
        # sent under the virtual MAC's was dropped, the others arrived in order.
        notes = self.all_received()
        self.assertEqual(received_oids(notes), [one_var(8), one_var(2)])
        self.assertEqual(self.new_sending_errors(), [])

    def test_v3_trap_with_a_hexadecimal_engine_id_payload(self):
        self.start(version=3, engine_id_payload_type=5, engine_id_hex_payload="0a0b0c", username="nvhex",
                   auth="SHA", auth_password="authpass3")
        self.r.request_test_event()
        security = ["-l", "authNoPriv", "-u", "nvhex", "-a", "SHA", "-A", "authpass3"]
        self.assertEqual(self.wait_new_calls(1), [("net-snmptrap", v3_args(security, ENGINE_BY_HEX, "", 8))])
        note = self.received(1)[0]
        self.check_v3(note, "TRAP2", "nvhex", "", 8)

    def test_v3_inform_to_a_manager_whose_engine_id_is_the_routers(self):
        # The router presets the manager's engine ID with -e: only a manager
        # running under that engine ID (oldEngineID) accepts the inform, and
        # its user is localised to its own engine. It takes the main
        # manager's place for this test: a manager that is itself engine
        # ENGINE_BY_MAC would check the router's authenticated traps against
        # its own boots and time and drop them.
        self.manager.close()
        inform_user = dict(USERS[2], engine_id=None)
        manager = TrapReceiver(self.r, PORT, address=MANAGER, community=[], users=[inform_user],
                               old_engine_id=ENGINE_BY_MAC)
        try:
            snmp, security = SECURITY["authPriv"]
            self.start(version=3, pdu_type=1, engine_id_payload_type=3, context_name="nvctx", **snmp)
            self.r.send_lines(now_line(LOGIN_LINE))
            self.assertEqual(self.wait_new_calls(1),
                             [("net-snmpinform", v3_args(security, ENGINE_BY_MAC, "nvctx", 3))])
            note = manager.wait_for(1)[0]
            self.check_v3(note, "INFORM", "nvpriv", "nvctx", 3)
            self.assertEqual(self.new_sending_errors(), [])
        finally:
            self.stop_daemon()
            manager.close()
            type(self).manager = TrapReceiver(self.r, PORT, address=MANAGER, community=[COMMUNITY],
                                              users=USERS, extra=ODD_VALUES_ACCESS)

    def test_v3_privacy_without_authentication_is_refused_by_the_tool_and_kept(self):
        # The command line carries -x/-X at level noAuthNoPriv; snmptrap
        # cannot make a privacy key without an authentication protocol and
        # exits 1, so the event stays in the reserve and is tried each cycle.
        self.start(version=3, engine_id_payload_type=3, username="nvnoauth", priv="AES",
                   priv_password="privpass2")
        self.r.request_test_event()
        calls = self.wait_new_calls(2, timeout=10)
        security = ["-l", "noAuthNoPriv", "-u", "nvnoauth", "-x", "AES", "-X", "privpass2"]
        self.assertEqual(calls[:2], [("net-snmptrap", v3_args(security, ENGINE_BY_MAC, "", 8))] * 2)
        errors = self.r.wait_for(lambda: len(self.new_sending_errors()) >= 2 and self.new_sending_errors(),
                                 what="two sending errors")
        self.assertEqual([(e["text"], e["pri"]) for e in errors[:2]],
                         [("Error sending SNMP Trap/Inform: 256", LOG_ERR)] * 2)
        self.assertEqual(self.all_received(), [])

    # ----- values with quotes --------------------------------------------------
    def test_values_with_quotes_and_shell_characters_reach_tool_and_manager_unchanged(self):
        self.start(version=2, community=ODD_COMMUNITY)
        self.r.request_test_event()
        self.assertEqual(self.wait_new_calls(1), [("net-snmptrap", v2c_args(8, community=ODD_COMMUNITY))])
        note = self.received(1)[0]
        self.assertEqual(note["community"], ODD_COMMUNITY)
        self.stop_daemon()

        self.start(version=3, engine_id_payload_type=3, username=ODD_USER, auth="SHA",
                   auth_password=ODD_AUTH_PASS, context_name=ODD_CONTEXT)
        self.r.send_lines(now_line(CONFIG_LINE))
        security = ["-l", "authNoPriv", "-u", ODD_USER, "-a", "SHA", "-A", ODD_AUTH_PASS]
        self.assertEqual(self.wait_new_calls(1),
                         [("net-snmptrap", v3_args(security, ENGINE_BY_MAC, ODD_CONTEXT, 1))])
        note = self.received(1)[0]
        self.check_v3(note, "TRAP2", ODD_USER, ODD_CONTEXT, 1)

    # ----- failures and the reserve queue -------------------------------------
    def test_failed_traps_wait_in_the_reserve_and_arrive_in_order(self):
        self.r.set_tool_exit("net-snmptrap", [1])  # fails until the file goes
        exit_file = self.r.path("standins/net-snmptrap.exit")
        self.addCleanup(lambda: os.path.exists(exit_file) and os.unlink(exit_file))
        self.start(version=2)
        self.r.send_lines(now_line(CONFIG_LINE), now_line(PASSWORD_LINE), now_line(LOGIN_LINE))
        self.wait_new_calls(2)
        # One more event while the channel still fails: queued behind.
        request = self.r.path("run/norvale_test_ev_request.txt")
        self.r.request_test_event()
        self.r.wait_for(lambda: not os.path.exists(request), what="the request taken")
        failed = len(self.wait_new_calls(len(self.new_calls()) + 1))
        # The daemon logs the failure once the tool has read the exit file
        # and ended: only then may the file go.
        self.r.wait_for(lambda: len(self.new_sending_errors()) >= failed, what="%d sending errors" % failed)
        os.unlink(exit_file)
        notes = self.received(4, timeout=15)
        calls = self.new_calls()
        # While failing, each cycle tried the oldest event once and no other.
        self.assertGreaterEqual(failed, 3)
        self.assertEqual(calls[:failed], [("net-snmptrap", v2c_args(1))] * failed)
        self.assertEqual(calls[failed:], [("net-snmptrap", v2c_args(code)) for code in (1, 2, 3, 8)])
        self.assertEqual(received_oids(notes), [one_var(code) for code in (1, 2, 3, 8)])
        errors = self.new_sending_errors()
        self.assertEqual([(e["text"], e["pri"]) for e in errors],
                         [("Error sending SNMP Trap/Inform: 256", LOG_ERR)] * failed)
        self.r.wait_cycles(1)  # nothing is sent twice: the next retry pass finds the reserve empty
        self.assertEqual(len(self.new_calls()), failed + 4)
        self.assertEqual(len(self.all_received()), 4)

    def test_inform_to_an_absent_manager_is_retried_until_it_answers(self):
        # Nobody listens on 127.0.0.1:1163: snmpinform waits for an answer
        # that never comes and exits 1 after its retries (about 6 s).
        self.start(version=2, pdu_type=1, manager_ip_addr="127.0.0.1", manager_port=1163)
        self.r.request_test_event()
        self.wait_new_calls(1)
        self.r.send_lines(now_line(PASSWORD_LINE))  # read once the daemon is free again
        error = self.r.wait_for(lambda: self.new_sending_errors(), timeout=15, what="the inform failing")
        self.assertEqual((error[0]["text"], error[0]["pri"]), ("Error sending SNMP Trap/Inform: 256", LOG_ERR))
        late = TrapReceiver(self.r, port=1163, community=COMMUNITY)
        self.addCleanup(late.close)
        notes = late.wait_for(2, timeout=25)
        self.assertEqual([(n["version"], n["pdu"], n["community"]) for n in notes],
                         [("v2c", "INFORM", COMMUNITY)] * 2)
        self.assertEqual(received_oids(notes), [one_var(8), one_var(2)])
        calls = self.new_calls()
        manager = "127.0.0.1:1163"
        failed = len(self.new_sending_errors())
        self.assertEqual(calls, [("net-snmpinform", v2c_args(8, manager=manager))] * (failed + 1) +
                         [("net-snmpinform", v2c_args(2, manager=manager))])


if __name__ == "__main__":
    unittest.main()
