"""A hand-written settings file with three mistakes and a key of another part
of the router, and what the settings check finds in it, line by line. Shared
by the command-line check (tests/cli) and the daemon's start-up warnings on
the simulated router (tests/e2e), which report the same findings."""

BAD = ("MOD_NORVALE_ENABLED=1\n"
       "MOD_NORVALE_SMS_RECIPENT_1=+15550100\n"
       "MOD_NORVALE_DEVICE_NAME =Router\n"
       "OTHER_PART=x\n"
       "MOD_NORVALE_SNMP_VERSION=3\n"
       "MOD_NORVALE_SNMP_PRIV=AES\n"
       "MOD_NORVALE_SNMP_PRIV_PASSWORD=secretpassword\n")

BAD_FINDINGS = [
    (2, "unknown key MOD_NORVALE_SMS_RECIPENT_1; did you mean MOD_NORVALE_SMS_RECIPIENT_1?"),
    (3, "blank or tab around the key \"MOD_NORVALE_DEVICE_NAME \": it never matches, "
        "so this line sets nothing"),
    (6, "SNMPv3 privacy without authentication: the SNMP tools refuse every send"),
]
