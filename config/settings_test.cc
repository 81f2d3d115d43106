#include "config/settings.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <string>
#include <vector>

#include "config/settings_keys.h"
#include "tests/support/test_support.h"

namespace {

const std::string DEFAULT_OID = "1.3.6.1.4.1." ENTERPRISE_NUMBER_TEXT ".1.1000";

// The daemon keeps its record for the whole run and never releases its texts;
// the tests keep theirs reachable here in the same way (plain storage that is
// never destroyed, so a leak checker at exit still sees the texts).
module_settings loaded_records[32];
size_t loaded_count;

module_settings load_paths(const std::string &settings_path, const std::string &os_release,
                           const std::string &product_family)
{
    module_settings settings;
    memset(&settings, 0xA5, sizeof settings);
    load_module_settings(settings, settings_path.c_str(), os_release.c_str(),
                         product_family.c_str());
    EXPECT_LT(loaded_count, sizeof loaded_records / sizeof loaded_records[0]);
    if (loaded_count < sizeof loaded_records / sizeof loaded_records[0])
        loaded_records[loaded_count++] = settings;
    return settings;
}

// A key and the number it must read as.
struct key_number {
    const char *key;
    uint32_t number;
};

// Reads each key with get and compares it with its number.
void expect_numbers(FILE *file, uint32_t (*get)(FILE *, const char *),
                    std::initializer_list<key_number> expected)
{
    for (const key_number &e : expected)
        EXPECT_EQ(get(file, e.key), e.number) << e.key;
}

// Fixture files live in a private temporary folder removed after each test.
class settings_file : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir_.path().empty()); }

    void TearDown() override
    {
        for (FILE *file : open_)
            fclose(file);
    }

    std::string write(const char *name, const std::string &content)
    {
        return dir_.write(name, content);
    }

    FILE *open_settings(const std::string &content)
    {
        FILE *file = fopen(write("settings", content).c_str(), "r");
        EXPECT_NE(file, nullptr);
        open_.push_back(file);
        return file;
    }

    std::string missing(const char *name) const { return dir_.file(name); }

    // The text of key through settings_get_string, released here.
    static std::string text(FILE *file, const char *key)
    {
        char *value = settings_get_string(file, key);
        EXPECT_NE(value, nullptr);
        std::string result = value ? value : "<null>";
        free(value);
        return result;
    }

    module_settings load(const std::string &content)
    {
        return load_paths(write("settings", content), missing("absent-os-release"),
                          missing("absent-product-family"));
    }

    temp_dir dir_{"norvale-settings"};
    std::vector<FILE *> open_;
};

TEST_F(settings_file, keys_match_whole_and_ignoring_case_but_blanks_belong_to_the_key)
{
    FILE *file = open_settings(
        " MOD_NORVALE_ENABLED=7\n"
        "MOD_NORVALE_ENABLED =8\n"
        "MOD_NORVALE_ENABLEDX=9\n"
        "MOD_NORVALE_ENABLE=10\n"
        "mod_norvale_enabled=1\n"
        "NAME= padded \n");
    EXPECT_EQ(settings_get_uint(file, "MOD_NORVALE_ENABLED"), 1u);
    EXPECT_EQ(text(file, "Name"), " padded ");
    EXPECT_EQ(text(file, " MOD_NORVALE_ENABLED"), "7");
    EXPECT_EQ(text(file, "NAME "), "");
}

TEST_F(settings_file, values_are_cut_at_line_ends_and_the_last_double_quote)
{
    FILE *file = open_settings(
        "QUOTED=\"value\"\n"
        "PLAIN=value\r\n"
        "EMPTY_QUOTES=\"\"\n"
        "EMPTY=\n"
        "INNER=\"say \"hi\"\"\n"
        "TWO_OPENING=\"\"x\"\n"
        "EQUALS=a=b\n"
        "UNCLOSED=\"never closed\n"
        "MID=ab\rcd\n"
        "BACKSLASH=a\\nb\n"
        "NO_EQUALS_SIGN\n"
        "TWICE=first\n"
        "twice=second\n"
        "LAST=no line feed");
    EXPECT_EQ(text(file, "QUOTED"), "value");
    EXPECT_EQ(text(file, "PLAIN"), "value");
    EXPECT_EQ(text(file, "EMPTY_QUOTES"), "");
    EXPECT_EQ(text(file, "EMPTY"), "");
    EXPECT_EQ(text(file, "INNER"), "say \"hi\"");
    EXPECT_EQ(text(file, "TWO_OPENING"), "\"x");  // only one opening quote is skipped
    EXPECT_EQ(text(file, "EQUALS"), "a=b");
    EXPECT_EQ(text(file, "UNCLOSED"), "");
    EXPECT_EQ(text(file, "MID"), "ab");
    EXPECT_EQ(text(file, "BACKSLASH"), "a\\nb");
    EXPECT_EQ(text(file, "NO_EQUALS_SIGN"), "");
    EXPECT_EQ(text(file, "TWICE"), "first");
    EXPECT_EQ(text(file, "LAST"), "no line feed");
    EXPECT_EQ(text(file, "ABSENT"), "");
    EXPECT_EQ(text(nullptr, "ABSENT"), "");
}

TEST_F(settings_file, find_scans_on_from_the_current_position_and_accessors_rewind)
{
    FILE *file = open_settings("K=1\nOTHER=x\nK=2\n");
    const char *value = settings_find(file, "K");
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, "1");
    value = settings_find(file, "K");
    ASSERT_NE(value, nullptr);
    EXPECT_STREQ(value, "2");
    EXPECT_EQ(settings_find(file, "K"), nullptr);
    EXPECT_EQ(settings_get_uint(file, "K"), 1u);
    EXPECT_EQ(settings_find(nullptr, "K"), nullptr);
}

TEST_F(settings_file, line_longer_than_the_buffer_is_skipped_whole)
{
    // 16383 bytes fill the line buffer and are still a whole line; one byte
    // more and nothing of the line counts, not even a key hidden at its end.
    std::string whole = "LONG=" + std::string(SETTINGS_LINE_SIZE - 1 - 5, 'v');
    std::string over = "OVER=" + std::string(SETTINGS_LINE_SIZE - 1 - 5, 'v');
    FILE *file = open_settings(whole + "\n" + over + "FORGED=1\nAFTER=1\n");
    EXPECT_EQ(text(file, "LONG").size(), size_t(SETTINGS_LINE_SIZE - 1 - 5));
    EXPECT_EQ(text(file, "OVER"), "");
    EXPECT_EQ(text(file, "FORGED"), "");
    rewind(file);
    settings_entry entry{0, nullptr, nullptr};
    EXPECT_EQ(settings_next(file, entry), SETTINGS_ENTRY);
    EXPECT_EQ(settings_next(file, entry), SETTINGS_LONG_LINE);
    ASSERT_EQ(settings_next(file, entry), SETTINGS_ENTRY);
    EXPECT_EQ(entry.line, 3);
    EXPECT_STREQ(entry.key, "AFTER");
    EXPECT_EQ(settings_next(file, entry), SETTINGS_END);
}

TEST_F(settings_file, reading_stops_at_the_file_size_bound)
{
    std::string filler;
    while (filler.size() < size_t(SETTINGS_FILE_MAX))
        filler += "FILLER=" + std::string(1000, 'f') + "\n";
    FILE *file = open_settings("EARLY=1\n" + filler + "LATE=1\n");
    EXPECT_EQ(settings_get_uint(file, "EARLY"), 1u);
    EXPECT_EQ(settings_get_uint(file, "LATE"), 0u);
}

TEST_F(settings_file, only_a_regular_file_is_opened)
{
    std::string fifo = missing("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    char why[SETTINGS_WHY_SIZE] = "";
    FILE *file = nullptr;
    EXPECT_EQ(settings_open(fifo.c_str(), &file, why, sizeof why), -2);
    EXPECT_STREQ(why, "it is a FIFO, not a regular file");
    EXPECT_EQ(settings_open(dir_.path().c_str(), &file, why, sizeof why), -2);
    EXPECT_STREQ(why, "it is a directory, not a regular file");
    EXPECT_EQ(settings_open("/dev/zero", &file, why, sizeof why), -2);
    EXPECT_STREQ(why, "it is a character device, not a regular file");
    EXPECT_EQ(settings_open(missing("absent").c_str(), &file, why, sizeof why), -1);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(settings_open(write("settings", "K=1\n").c_str(), &file, why, sizeof why), 0);
    ASSERT_NE(file, nullptr);
    fclose(file);
}

TEST_F(settings_file, numbers_convert_like_unsigned_scanf)
{
    FILE *file = open_settings(
        "MINUS_ONE=-1\nGARBAGE=abc\nTRAILING=42abc\nBLANKS=  7\nPLUS=+5\nEMPTY=\n"
        "MAX=4294967295\nQUOTED=\"12\"\n");
    expect_numbers(file, settings_get_uint,
                   {{"MINUS_ONE", 4294967295u}, {"GARBAGE", 0}, {"TRAILING", 42}, {"BLANKS", 7},
                    {"PLUS", 5}, {"EMPTY", 0}, {"MAX", 4294967295u}, {"QUOTED", 12},
                    {"ABSENT", 0}});
    EXPECT_EQ(settings_get_uint(nullptr, "ABSENT"), 0u);
}

TEST_F(settings_file, dotted_quads_need_four_numbers_and_large_parts_spill_upward)
{
    FILE *file = open_settings(
        "LAN=192.168.1.10\nSHORT=10.0.0\nSPILL=1.2.3.256\nCARRY=1.2.4.0\n"
        "TRAILING=10.1.2.3:162\nWORDS=a.b.c.d\nQUOTED=\"8.8.4.4\"\n");
    expect_numbers(file, settings_get_ipv4,
                   {{"LAN", 0xC0A8010Au}, {"SHORT", 0}, {"SPILL", 0x01020400u},
                    {"TRAILING", 0x0A010203u}, {"WORDS", 0}, {"QUOTED", 0x08080404u},
                    {"ABSENT", 0}});
    EXPECT_EQ(settings_get_ipv4(file, "SPILL"), settings_get_ipv4(file, "CARRY"));
    EXPECT_EQ(settings_get_ipv4(nullptr, "ABSENT"), 0u);
}

TEST_F(settings_file, product_oid_comes_from_os_release_then_the_zeb_family_then_the_default)
{
    const std::string base = "1.3.6.1.4.1." ENTERPRISE_NUMBER_TEXT ".1.";
    std::string no_release = missing("absent-os-release");
    std::string no_family = missing("absent-product-family");
    std::string release = write("os-release", "ID=debian\nZEB_PRODUCT_OID=\"1.3.6.1.4.1.99.7\"\n");
    std::string zeb7 = write("family-7", "ZEB-7XX\n");

    EXPECT_STREQ(product_oid(release.c_str(), zeb7.c_str()), "1.3.6.1.4.1.99.7");
    EXPECT_EQ(product_oid(no_release.c_str(), zeb7.c_str()), base + "7XX");
    EXPECT_EQ(product_oid(no_release.c_str(), write("family-x", "XYZ-1\n").c_str()), DEFAULT_OID);
    EXPECT_EQ(product_oid(no_release.c_str(), write("family-bare", "ZEB-\n").c_str()), base);
    EXPECT_EQ(product_oid(no_release.c_str(), write("family-lower", "zeb-7\n").c_str()),
              DEFAULT_OID);
    EXPECT_EQ(product_oid(no_release.c_str(), write("family-short", "ZEB").c_str()), DEFAULT_OID);
    EXPECT_EQ(product_oid(no_release.c_str(), no_family.c_str()), DEFAULT_OID);

    std::string long_family = write("family-long", "ZEB-" + std::string(100, '9') + "\n");
    std::string oid = product_oid(no_release.c_str(), long_family.c_str());
    EXPECT_EQ(oid, (base + std::string(100, '9')).substr(0, 63));
}

TEST_F(settings_file, missing_settings_file_gives_defaults_and_no_null_text)
{
    module_settings settings =
        load_paths(missing("absent-settings"), missing("absent-os-release"),
                   missing("absent-product-family"));
    EXPECT_EQ(settings.enabled, 0u);
    for (int code = 0; code < EVENT_CODE_COUNT; code++)
        EXPECT_EQ(settings.channel_masks[code], 0u) << code;
    EXPECT_STREQ(settings.device_name, "[unnamed device]");
    EXPECT_STREQ(settings.subject_text, "[unnamed device]");
    EXPECT_STREQ(settings.snmp.community, "lumnar");
    EXPECT_STREQ(settings.snmp.username, "admin");
    EXPECT_EQ(settings.snmp.product_oid, DEFAULT_OID);
    EXPECT_EQ(settings.snmp.version, 0u);
    EXPECT_EQ(settings.snmp.manager_ip, 0u);
    const char *empty_texts[] = {
        settings.device_location, settings.device_admin_contact,
        settings.snmp.engine_id_hex_payload, settings.snmp.context_name, settings.snmp.auth,
        settings.snmp.auth_password, settings.snmp.priv, settings.snmp.priv_password,
    };
    for (const char *text : empty_texts) {
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, "");
    }
    for (const char *recipient : settings.sms_recipients) {
        ASSERT_NE(recipient, nullptr);
        EXPECT_STREQ(recipient, "");
    }
    for (auto &group : settings.mail_group_addrs) {
        for (const char *address : group) {
            ASSERT_NE(address, nullptr);
            EXPECT_STREQ(address, "");
        }
    }
}

TEST_F(settings_file, channel_masks_follow_each_events_subscription_keys)
{
    // Every event gets its own pattern of the six switches, so a wrong key
    // name or a wrong bit shows up as a wrong mask.
    const char *channels[] = {"TRAP", "MAIL_GROUP_1", "MAIL_GROUP_2",
                              "MAIL_GROUP_3", "MAIL_GROUP_4", "SMS"};
    const channel_mask expected[EVENT_CODE_COUNT] = {
        0, 0x2A, 0x01, 0x3F, 0x10, 0x20, 0x05, 0x1E, 0x33,
    };
    std::string content = "MOD_NORVALE_EVENT_NONE_SUBSCRIBE_SMS=1\n";
    for (int code = 1; code < EVENT_CODE_COUNT; code++) {
        for (int bit = 0; bit < 6; bit++) {
            // Any non-zero number subscribes, -1 and 2 included.
            const char *value = (expected[code] >> bit) & 1 ? (bit % 2 ? "-1" : "2") : "0";
            content += std::string("MOD_NORVALE_EVENT_") + CAPS_EVENT_TYPE_NAMES[code] +
                       "_SUBSCRIBE_" + channels[bit] + "=" + value + "\n";
        }
    }
    module_settings settings = load(content);
    for (int code = 0; code < EVENT_CODE_COUNT; code++)
        EXPECT_EQ(settings.channel_masks[code], expected[code]) << CAPS_EVENT_TYPE_NAMES[code];
    EXPECT_EQ(settings.subscribe_sms[0], 0u);
    // The numbers themselves are kept: MOD_NORVALE_EVENT_LOGIN_FAILED_SUBSCRIBE_MAIL_GROUP_3=-1.
    EXPECT_EQ(settings.subscribe_mail[LOGIN_FAILED][2], 4294967295u);
    EXPECT_EQ(settings.subscribe_mail[ETH0_DISCONNECTED][3], 2u);
    EXPECT_EQ(settings.subscribe_trap[ETH0_DISCONNECTED], 0u);
}

TEST_F(settings_file, subject_names_the_device_with_the_texts_switched_on)
{
    module_settings both = load(
        "MOD_NORVALE_DEVICE_LOCATION=Hall\nMOD_NORVALE_DEVICE_ADMIN_CONTACT=Ops\n"
        "MOD_NORVALE_DEVICE_LOCATION_SUBJ=1\nMOD_NORVALE_DEVICE_ADMIN_CONTACT_SUBJ=1\n");
    EXPECT_STREQ(both.subject_text, "[unnamed device], Hall, Ops");

    module_settings contact_only = load(
        "MOD_NORVALE_DEVICE_NAME=\"\"\n"
        "MOD_NORVALE_DEVICE_LOCATION=Hall\nMOD_NORVALE_DEVICE_ADMIN_CONTACT=Ops\n"
        "MOD_NORVALE_DEVICE_LOCATION_SUBJ=0\nMOD_NORVALE_DEVICE_ADMIN_CONTACT_SUBJ=1\n");
    EXPECT_STREQ(contact_only.device_name, "[unnamed device]");
    EXPECT_STREQ(contact_only.subject_text, "[unnamed device], Ops");

    module_settings empty_location = load(
        "MOD_NORVALE_DEVICE_NAME=R1\nMOD_NORVALE_DEVICE_LOCATION=\n"
        "MOD_NORVALE_DEVICE_LOCATION_SUBJ=1\nMOD_NORVALE_DEVICE_ADMIN_CONTACT_SUBJ=1\n");
    EXPECT_STREQ(empty_location.subject_text, "R1");
}

TEST_F(settings_file, device_texts_are_cut_to_128_bytes)
{
    std::string name(200, 'n');
    std::string location = std::string(127, 'l') + "\xC3\xA9";  // cut inside the last character
    module_settings settings = load(
        "MOD_NORVALE_DEVICE_NAME=" + name + "\nMOD_NORVALE_DEVICE_LOCATION=" + location +
        "\nMOD_NORVALE_DEVICE_ADMIN_CONTACT=" + std::string(128, 'c') +
        "\nMOD_NORVALE_DEVICE_LOCATION_SUBJ=1\nMOD_NORVALE_DEVICE_ADMIN_CONTACT_SUBJ=1\n");
    EXPECT_EQ(std::string(settings.device_name), name.substr(0, 128));
    EXPECT_EQ(std::string(settings.device_location), location.substr(0, 128));
    EXPECT_EQ(std::string(settings.device_admin_contact), std::string(128, 'c'));
    EXPECT_EQ(std::string(settings.subject_text),
              name.substr(0, 128) + ", " + location.substr(0, 128) + ", " + std::string(128, 'c'));
}

TEST_F(settings_file, recipients_and_mail_addresses_land_in_their_slots)
{
    std::string content;
    for (int n = 1; n <= SMS_RECIPIENT_COUNT; n += 7)
        content += "MOD_NORVALE_SMS_RECIPIENT_" + std::to_string(n) + "=+4712345" +
                   std::to_string(n) + "\n";
    for (int group = 1; group <= MAIL_GROUP_COUNT; group++)
        for (int n = 1; n <= MAIL_GROUP_ADDRESSES; n++)
            content += "MOD_NORVALE_MAIL_GROUP_" + std::to_string(group) + "_ADDR_" +
                       std::to_string(n) + "=g" + std::to_string(group) + "a" +
                       std::to_string(n) + "@example.org\n";
    module_settings settings = load(content);
    EXPECT_STREQ(settings.sms_recipients[0], "+47123451");
    EXPECT_STREQ(settings.sms_recipients[1], "");
    EXPECT_STREQ(settings.sms_recipients[7], "+47123458");
    for (int group = 1; group <= MAIL_GROUP_COUNT; group++)
        for (int n = 1; n <= MAIL_GROUP_ADDRESSES; n++)
            EXPECT_EQ(std::string(settings.mail_group_addrs[group - 1][n - 1]),
                      "g" + std::to_string(group) + "a" + std::to_string(n) + "@example.org");
}

TEST_F(settings_file, snmp_version_one_never_asks_for_an_inform)
{
    module_settings v1 = load(
        "MOD_NORVALE_SNMP_VERSION=1\nMOD_NORVALE_SNMP_PDU_TYPE=1\n"
        "MOD_NORVALE_SNMP_COMMUNITY=\nMOD_NORVALE_SNMP_USERNAME=\"\"\n");
    EXPECT_EQ(v1.snmp.version, 1u);
    EXPECT_EQ(v1.snmp.pdu_type, 0u);
    EXPECT_STREQ(v1.snmp.community, "lumnar");
    EXPECT_STREQ(v1.snmp.username, "admin");

    module_settings v3 = load(
        "MOD_NORVALE_SNMP_VERSION=3\nMOD_NORVALE_SNMP_PDU_TYPE=1\n"
        "MOD_NORVALE_SNMP_MANAGER_IP_ADDR=192.168.1.10\nMOD_NORVALE_SNMP_MANAGER_PORT=162\n"
        "MOD_NORVALE_SNMP_COMMUNITY=public\nMOD_NORVALE_SNMP_USERNAME=ops\n"
        "MOD_NORVALE_SNMP_ENGINE_ID_PAYLOAD_TYPE=4\nMOD_NORVALE_SNMP_ENGINE_ID_HEX_PAYLOAD=0a0b\n"
        "MOD_NORVALE_SNMP_CONTEXT_NAME=ctx\nMOD_NORVALE_SNMP_AUTH=SHA\n"
        "MOD_NORVALE_SNMP_AUTH_PASSWORD=authpass\nMOD_NORVALE_SNMP_PRIV=AES\n"
        "MOD_NORVALE_SNMP_PRIV_PASSWORD=privpass\nMOD_NORVALE_ENABLED=1\n");
    EXPECT_EQ(v3.enabled, 1u);
    EXPECT_EQ(v3.snmp.version, 3u);
    EXPECT_EQ(v3.snmp.pdu_type, 1u);
    EXPECT_EQ(v3.snmp.manager_ip, 0xC0A8010Au);
    EXPECT_EQ(v3.snmp.manager_port, 162u);
    EXPECT_STREQ(v3.snmp.community, "public");
    EXPECT_STREQ(v3.snmp.username, "ops");
    EXPECT_EQ(v3.snmp.engine_id_payload_type, 4u);
    EXPECT_STREQ(v3.snmp.engine_id_hex_payload, "0a0b");
    EXPECT_STREQ(v3.snmp.context_name, "ctx");
    EXPECT_STREQ(v3.snmp.auth, "SHA");
    EXPECT_STREQ(v3.snmp.auth_password, "authpass");
    EXPECT_STREQ(v3.snmp.priv, "AES");
    EXPECT_STREQ(v3.snmp.priv_password, "privpass");
}

TEST_F(settings_file, os_release_value_is_cut_to_63_bytes)
{
    std::string path = write("os-release",
                             "NAME=\"Debian GNU/Linux\"\r\n"
                             "LONG=\"" + std::string(100, 'z') + "\"\n");
    EXPECT_STREQ(os_release_value("name", path.c_str()), "Debian GNU/Linux");
    EXPECT_EQ(std::string(os_release_value("LONG", path.c_str())), std::string(63, 'z'));
    EXPECT_STREQ(os_release_value("ABSENT", path.c_str()), "");
    EXPECT_STREQ(os_release_value("NAME", missing("none").c_str()), "");
    std::string fifo = missing("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_STREQ(os_release_value("NAME", fifo.c_str()), "");
}

TEST_F(settings_file, loaded_product_oid_is_an_owned_copy)
{
    std::string release = write("os-release", "ZEB_PRODUCT_OID=1.3.6.1.4.1.99.42\n");
    module_settings settings =
        load_paths(missing("absent-settings"), release, missing("absent-product-family"));
    EXPECT_STREQ(settings.snmp.product_oid, "1.3.6.1.4.1.99.42");
    // Later lookups reuse the shared result buffers; the record keeps its text.
    EXPECT_STREQ(os_release_value("ABSENT", release.c_str()), "");
    EXPECT_STREQ(settings.snmp.product_oid, "1.3.6.1.4.1.99.42");
}

// The keys the manual page documents: the head of each .TP entry, ".B KEY"
// or ".BI" alternating bold text and the italic placeholders EVENT, G and N.
std::set<std::string> documented_keys(const std::string &page)
{
    // The manual's one N stands for both the recipients and the addresses.
    static_assert(SMS_RECIPIENT_COUNT == MAIL_GROUP_ADDRESSES, "N has one range");
    auto numbers = [](int count) {
        std::vector<std::string> all;
        for (int n = 1; n <= count; n++)
            all.push_back(std::to_string(n));
        return all;
    };
    std::vector<std::string> events(CAPS_EVENT_TYPE_NAMES + 1,
                                    CAPS_EVENT_TYPE_NAMES + EVENT_CODE_COUNT);
    std::set<std::string> keys;
    std::istringstream lines(page);
    std::string previous, line;
    for (; std::getline(lines, line); previous = line) {
        bool italic = line.rfind(".BI MOD_NORVALE_", 0) == 0;
        if (previous != ".TP" || !(italic || line.rfind(".B MOD_NORVALE_", 0) == 0))
            continue;
        std::istringstream parts(line);
        std::string part;
        parts >> part;  // the macro
        std::vector<std::string> names = {""};
        for (int i = 0; parts >> part; i++) {
            std::vector<std::string> choices = {part};
            if (italic && i % 2) {
                choices = part == "EVENT" ? events
                          : part == "G"   ? numbers(MAIL_GROUP_COUNT)
                          : part == "N"   ? numbers(SMS_RECIPIENT_COUNT)
                                          : std::vector<std::string>{"<" + part + "?>"};
            }
            std::vector<std::string> longer;
            for (const std::string &name : names)
                for (const std::string &choice : choices)
                    longer.push_back(name + choice);
            names = longer;
        }
        keys.insert(names.begin(), names.end());
    }
    return keys;
}

TEST(settings_keys, every_key_of_the_table_is_in_the_manual_page_and_every_key_there_in_the_table)
{
    std::string page = read_file(NORVALE_SOURCE_DIR "/doc/norvale-eventd.8", "");
    ASSERT_FALSE(page.empty());
    std::set<std::string> documented = documented_keys(page);
    std::set<std::string> table;
    for (int i = 0; i < SETTINGS_KEY_COUNT; i++)
        table.insert(settings_keys()[i].name);
    EXPECT_EQ(table.size(), size_t(SETTINGS_KEY_COUNT)) << "a key is in the table twice";
    for (const std::string &key : table)
        EXPECT_EQ(documented.count(key), 1u) << key << " is not in doc/norvale-eventd.8";
    for (const std::string &key : documented)
        EXPECT_EQ(table.count(key), 1u) << key << " is documented but not in the table";
}

}  // namespace
