// The settings file over arbitrary bytes, read by the daemon's reader and by
// the settings check, whose summary is printed too. Properties: the reader
// fills every field as a plain model of the file format says (first line of
// a key wins, letter case ignored; cuts at carriage return, line feed and last
// double quote; over-long lines set nothing), every text is there and within
// its bound, channel masks hold only the subscribed channels; the check's
// findings stay within the file's lines, a key it calls set again was first
// set on the line it names, and it says the daemon will not start exactly
// when the reader finds the module off.
#include <sanitizer/allocator_interface.h>
#include <set>
#include <strings.h>

#include "config/settings.h"
#include "config/settings_check.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

module_settings settings;
settings_report report;
constexpr const char *NOT_STARTING = "MOD_NORVALE_ENABLED is missing or 0: the daemon will not start";

// The file as the format describes it: per line its key and value, or a
// line that sets nothing.
struct model_line {
    bool sets;
    std::string key;
    std::string value;
};

// Ends text at its first c, if any.
void cut_at(std::string &text, char c)
{
    text.resize(std::min(text.find(c), text.size()));
}

model_line read_model_line(std::string line)
{
    if (line.size() > size_t(SETTINGS_LINE_SIZE - 1))
        return {false, "", ""};
    cut_at(line, '\0');
    cut_at(line, '\r');
    size_t quote = line.rfind('"');
    if (quote != std::string::npos)
        line.resize(quote);
    size_t equals = line.find('=');
    if (equals == std::string::npos)
        return {false, "", ""};
    std::string value = line.substr(equals + 1);
    if (!value.empty() && value[0] == '"')
        value.erase(0, 1);
    return {true, line.substr(0, equals), value};
}

std::vector<model_line> read_model(const uint8_t *data, size_t size)
{
    std::vector<model_line> lines;
    std::string text(reinterpret_cast<const char *>(data), size);
    for (size_t at = 0; at < size;) {
        size_t newline = text.find('\n', at);
        size_t end = newline == std::string::npos ? size : newline;
        lines.push_back(read_model_line(text.substr(at, end - at)));
        at = end + 1;
    }
    return lines;
}

// The 1-based line that first sets key, or 0.
int first_line(const std::vector<model_line> &lines, const char *key)
{
    for (size_t i = 0; i < lines.size(); i++) {
        if (lines[i].sets && strcasecmp(lines[i].key.c_str(), key) == 0)
            return int(i) + 1;
    }
    return 0;
}

std::string value(const std::vector<model_line> &lines, const std::string &key)
{
    int line = first_line(lines, key.c_str());
    return line ? lines[size_t(line) - 1].value : std::string();
}

uint32_t number(const std::vector<model_line> &lines, const std::string &key)
{
    int line = first_line(lines, key.c_str());
    return settings_number(line ? lines[size_t(line) - 1].value.c_str() : nullptr);
}

void expect_text(const char *field, const char *got, const std::string &want, size_t bound)
{
    if (!got)
        property_broken(std::string(field) + " is null");
    if (strnlen(got, bound + 1) > bound)
        property_broken(std::string(field) + " is longer than " + std::to_string(bound));
    if (want != got)
        property_broken(std::string(field) + " is <" + got + ">, the file says <" + want + ">");
}

std::string or_default(const std::string &text, const char *fallback)
{
    return text.empty() ? fallback : text;
}

void check_device(const std::vector<model_line> &lines)
{
    auto device = [&](const char *key) {
        return value(lines, key).substr(0, size_t(DEVICE_TEXT_MAX));
    };
    expect_text("device name", settings.device_name,
                or_default(device("MOD_NORVALE_DEVICE_NAME"), DEFAULT_DEVICE_NAME), DEVICE_TEXT_MAX);
    expect_text("device location", settings.device_location, device("MOD_NORVALE_DEVICE_LOCATION"),
                DEVICE_TEXT_MAX);
    expect_text("admin contact", settings.device_admin_contact,
                device("MOD_NORVALE_DEVICE_ADMIN_CONTACT"), DEVICE_TEXT_MAX);
    if (!settings.subject_text ||
        strncmp(settings.subject_text, settings.device_name, strlen(settings.device_name)) != 0)
        property_broken("the e-mail subject does not start with the device name");
}

void check_channels(const std::vector<model_line> &lines)
{
    if (settings.channel_masks[EVENT_NONE] != 0)
        property_broken("channels for no event");
    for (int code = 1; code < EVENT_CODE_COUNT; code++) {
        std::string prefix = std::string("MOD_NORVALE_EVENT_") + CAPS_EVENT_TYPE_NAMES[code] + "_SUBSCRIBE_";
        channel_mask want = (number(lines, prefix + "TRAP") ? NOTIFY_TRAP : 0) |
                            (number(lines, prefix + "SMS") ? NOTIFY_SMS : 0);
        for (int group = 1; group <= MAIL_GROUP_COUNT; group++)
            want |= number(lines, prefix + "MAIL_GROUP_" + std::to_string(group)) ? mail_group_bit(group) : 0;
        if (settings.channel_masks[code] != want)
            property_broken(std::string("channels of ") + CAPS_EVENT_TYPE_NAMES[code] + ": " +
                            std::to_string(settings.channel_masks[code]) + ", the file says " +
                            std::to_string(want));
    }
}

void check_destinations(const std::vector<model_line> &lines)
{
    for (int n = 1; n <= SMS_RECIPIENT_COUNT; n++) {
        std::string key = "MOD_NORVALE_SMS_RECIPIENT_" + std::to_string(n);
        expect_text(key.c_str(), settings.sms_recipients[n - 1], value(lines, key), SETTINGS_LINE_SIZE);
    }
    for (int group = 1; group <= MAIL_GROUP_COUNT; group++) {
        for (int n = 1; n <= MAIL_GROUP_ADDRESSES; n++) {
            std::string key = "MOD_NORVALE_MAIL_GROUP_" + std::to_string(group) + "_ADDR_" + std::to_string(n);
            expect_text(key.c_str(), settings.mail_group_addrs[group - 1][n - 1], value(lines, key),
                        SETTINGS_LINE_SIZE);
        }
    }
}

void check_snmp(const std::vector<model_line> &lines)
{
    const snmp_settings &s = settings.snmp;
    uint32_t version = number(lines, "MOD_NORVALE_SNMP_VERSION");
    uint32_t pdu = version == 1 ? 0 : number(lines, "MOD_NORVALE_SNMP_PDU_TYPE");
    uint32_t ip = settings_quad(value(lines, "MOD_NORVALE_SNMP_MANAGER_IP_ADDR").c_str());
    if (s.version != version || s.pdu_type != pdu || s.manager_ip != ip ||
        s.manager_port != number(lines, "MOD_NORVALE_SNMP_MANAGER_PORT") ||
        s.engine_id_payload_type != number(lines, "MOD_NORVALE_SNMP_ENGINE_ID_PAYLOAD_TYPE"))
        property_broken("SNMP numbers differ from the file");
    const size_t bound = SETTINGS_LINE_SIZE;
    expect_text("community", s.community,
                or_default(value(lines, "MOD_NORVALE_SNMP_COMMUNITY"), DEFAULT_SNMP_COMMUNITY), bound);
    expect_text("username", s.username,
                or_default(value(lines, "MOD_NORVALE_SNMP_USERNAME"), DEFAULT_SNMP_USERNAME), bound);
    expect_text("engine ID", s.engine_id_hex_payload,
                value(lines, "MOD_NORVALE_SNMP_ENGINE_ID_HEX_PAYLOAD"), bound);
    expect_text("context", s.context_name, value(lines, "MOD_NORVALE_SNMP_CONTEXT_NAME"), bound);
    expect_text("auth", s.auth, value(lines, "MOD_NORVALE_SNMP_AUTH"), bound);
    expect_text("auth pass phrase", s.auth_password, value(lines, "MOD_NORVALE_SNMP_AUTH_PASSWORD"), bound);
    expect_text("priv", s.priv, value(lines, "MOD_NORVALE_SNMP_PRIV"), bound);
    expect_text("priv pass phrase", s.priv_password, value(lines, "MOD_NORVALE_SNMP_PRIV_PASSWORD"), bound);
    if (!s.product_oid || strncmp(s.product_oid, "1.3.6.1.4.1.", 12) != 0)
        property_broken("no product OID");
}

void check_reader(const std::vector<model_line> &lines)
{
    if (settings.enabled != number(lines, "MOD_NORVALE_ENABLED"))
        property_broken("MOD_NORVALE_ENABLED differs from the file");
    check_device(lines);
    check_channels(lines);
    check_destinations(lines);
    check_snmp(lines);
}

void check_finding(const std::vector<model_line> &lines, const settings_problem &p)
{
    if (p.line < 0 || size_t(p.line) > lines.size())
        property_broken("finding on line " + std::to_string(p.line) + " of " +
                        std::to_string(lines.size()) + ": " + p.text);
    if (strnlen(p.text, CHECK_TEXT_SIZE) == size_t(CHECK_TEXT_SIZE))
        property_broken("finding text not terminated");
    char key[CHECK_TEXT_SIZE];
    int first = 0;
    if (sscanf(p.text, "%319s is set again (first on line %d)", key, &first) == 2 &&
        (first != first_line(lines, key) || first >= p.line ||
         strcasecmp(lines[size_t(p.line) - 1].key.c_str(), key) != 0))
        property_broken(std::string("line ") + std::to_string(p.line) + ": " + p.text);
}

void check_report(const std::vector<model_line> &lines)
{
    if (report.opened != 0)
        property_broken(std::string("the check cannot read the file: ") + report.why);
    int total = report.problem_count + report.note_count;
    if (report.stored != std::min(total, CHECK_PROBLEMS_MAX))
        property_broken("findings kept: " + std::to_string(report.stored) + " of " + std::to_string(total));
    bool says_off = false;
    for (int i = 0; i < report.stored; i++) {
        check_finding(lines, report.problems[i]);
        if (i > 0 && report.problems[i].line < report.problems[i - 1].line)
            property_broken("findings out of line order");
        says_off |= strcmp(report.problems[i].text, NOT_STARTING) == 0;
    }
    if (total <= CHECK_PROBLEMS_MAX && says_off != (settings.enabled == 0))
        property_broken(std::string("the check says the daemon ") + (says_off ? "will not" : "will") +
                        " start; the reader reads MOD_NORVALE_ENABLED as " + std::to_string(settings.enabled));
}

// Frees the record's texts (the daemon keeps them for its whole run); a text
// may be shared or not allocated at all.
void release_settings()
{
    std::set<const void *> texts = {settings.device_name, settings.device_location,
                                    settings.device_admin_contact, settings.subject_text};
    for (const char *text : settings.sms_recipients)
        texts.insert(text);
    for (auto &group : settings.mail_group_addrs)
        texts.insert(std::begin(group), std::end(group));
    const snmp_settings &s = settings.snmp;
    texts.insert({s.product_oid, s.community, s.engine_id_hex_payload, s.context_name, s.username,
                  s.auth, s.auth_password, s.priv, s.priv_password});
    for (const void *text : texts) {
        if (text && __sanitizer_get_ownership(text))
            free(const_cast<void *>(text));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static FILE *summary = fopen("/dev/null", "w");
    if (!summary)
        property_broken("cannot open /dev/null");
    std::string path = scratch_file("settings", data, size);
    // No os-release and no product family: the product OID is the default.
    std::string none = scratch_dir() + "/none";
    load_module_settings(settings, path.c_str(), none.c_str(), none.c_str());
    check_settings(path.c_str(), report);
    print_settings_summary(summary, settings);

    std::vector<model_line> lines = read_model(data, size);
    check_reader(lines);
    check_report(lines);
    release_settings();
    return 0;
}
