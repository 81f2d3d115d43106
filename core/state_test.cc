// The kept state: what one run owes comes back in the next, in its order and
// with its fields; retries follow their recipients; a file that cannot be
// used is put aside; a folder or file another user could have placed is
// refused; the file is written only when what is owed changed. The file's
// exact form is the fuzzer's (tests/fuzz/state_file_fuzz.cc).
#include "core/state.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

#include "core/storms.h"
#include "tests/support/test_support.h"

namespace {

event_ring queue;

std::string replaced(std::string text, const std::string &from, const std::string &to)
{
    size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

class kept_state : public ::testing::Test {
protected:
    temp_dir dir{"norvale-state"};
    std::string folder = dir.file("state");
    std::string file = folder + "/owed";
    module_settings settings{};

    void SetUp() override
    {
        settings.sms_recipients[0] = "+4917000001";
        settings.sms_recipients[2] = "+4917000003";
        settings.sms_recipients[5] = "+4917000006";
        settings.mail_group_addrs[0][0] = "ops@example.com";
        settings.mail_group_addrs[1][3] = "noc@example.net";
    }
    // Opens the folder with settings, with nothing owed yet.
    void open(const module_settings &with)
    {
        ASSERT_TRUE(state_open(with, queue, folder.c_str()));
        storms_reset(storms, STORM_LIMIT_DEFAULT);
        state_parse("", 0, nullptr, 0);  // refused, so everything is emptied
    }
    // Each item kept, field by field, the recipients as their slots.
    std::vector<std::string> items(const module_settings &with) const
    {
        using ::testing::PrintToString;
        std::vector<std::string> all;
        for (const event_ring *r : {&queue, &reserve_snmp_queue, &reserve_mail_queue}) {
            all.push_back("ring");
            for (uint32_t i = r->head; i != r->tail; i = (i + 1) & event_ring::MASK) {
                const event_record &e = r->slots[i];
                all.push_back(PrintToString(std::vector<int64_t>{
                    e.code, e.mask, e.served, e.timestamp, e.counted, e.first_counted,
                    e.mail_resume[0], e.mail_resume[1], e.mail_resume[2], e.mail_resume[3],
                    e.sms_next}));
            }
        }
        const sms_retry_ring &sms = sms_reserve_queue;
        for (uint32_t i = sms.head; i != sms.tail; i = (i + 1) & sms_retry_ring::MASK) {
            const sms_retry_entry &e = sms.slots[i];
            auto slot = std::find(with.sms_recipients, with.sms_recipients + 8, e.recipient);
            all.push_back(PrintToString(std::make_tuple(e.code, slot - with.sms_recipients,
                                                        std::string(e.timestamp_text),
                                                        int(e.attempts_left), e.not_before,
                                                        e.counted)));
        }
        for (const storm_kind &k : storms.kinds)
            all.push_back(
                PrintToString(std::make_tuple(k.raging, k.counted, k.first_time, k.last_time)));
        return all;
    }
};

TEST_F(kept_state, what_one_run_owes_the_next_takes_back_in_order_with_its_fields)
{
    open(settings);
    const event_record first{LOGIN_FAILED, NOTIFY_SMS | NOTIFY_MAIL_GROUP_1, 1765000100,
                             {4, 0, 0, 0}, 0, 0, NOTIFY_TRAP, 3};
    const event_record summary{CONFIG_CHANGED, NOTIFY_TRAP | NOTIFY_MAIL_GROUP_2, -5, {0, 7, 0, 0},
                               12, -70};
    ring_push(queue, first);
    ring_push(queue, summary);
    ring_push(reserve_snmp_queue, summary);
    ring_push(reserve_mail_queue, first);
    ring_push(sms_reserve_queue, LOGIN_FAILED, settings.sms_recipients[5], "2025-12-06 05:48:20",
              3, 1765000500);
    // A time the clock could not write is kept empty.
    ring_push(sms_reserve_queue, TEST_EVENT, settings.sms_recipients[0], "", 1, -7, 4);
    storms.kinds[PASSWORD_CHANGED] = storm_kind{{}, 0, 0, true, 0, 0, 40, 1765000000, 1765000090};
    const std::vector<std::string> seen = {"Dec  6 router: C:\\cfg\n", "\xff\n"};
    const std::vector<std::string> pending = {"a\\b c\n", "\x01 \xfe\n"};
    for (const std::string &line : seen)
        state_note_handled(line.c_str());
    for (const std::string &line : pending)
        ASSERT_TRUE(state_pending_add(line.c_str()));
    std::vector<std::string> owed = items(settings);
    state_save();

    open(settings);
    EXPECT_EQ(state_load(), 6);
    EXPECT_EQ(items(settings), owed);
    for (const std::string &line : seen)
        EXPECT_TRUE(state_handled_before(line.c_str())) << line;
    std::vector<std::string> taken;
    char line[KEPT_LINE_SIZE];
    for (; state_pending_first(line); state_pending_drop())
        taken.push_back(line);
    EXPECT_EQ(taken, pending);
}

TEST_F(kept_state, retries_follow_their_recipient_and_changed_mail_groups_start_again)
{
    open(settings);
    ring_push(sms_reserve_queue, LOGIN_FAILED, settings.sms_recipients[0], "t", 3, 0);
    ring_push(sms_reserve_queue, LOGIN_FAILED, settings.sms_recipients[2], "t", 3, 0);
    const event_record r{LOGIN_FAILED, NOTIFY_MAIL_GROUP_1 | NOTIFY_MAIL_GROUP_2, 1, {1, 3, 0, 0}};
    ring_push(queue, r);
    ring_push(reserve_mail_queue, r);
    state_save();

    module_settings later = settings;
    later.sms_recipients[0] = nullptr;                  // gone
    later.sms_recipients[2] = "";                       // moved to slot 8
    later.sms_recipients[7] = settings.sms_recipients[2];
    later.mail_group_addrs[0][0] = "day@example.com";  // group 1 changed
    syslog_capture log;
    ASSERT_TRUE(state_open(later, queue, folder.c_str()));
    EXPECT_EQ(state_load(), 3);
    const std::string dropped = " dropped: it is no longer configured";
    EXPECT_EQ(log.count("Warning: SMS retry for recipient 1" + dropped), 1);
    EXPECT_EQ(log.count("Warning: SMS retry for recipient 3" + dropped), 0);
    ASSERT_EQ(ring_count(sms_reserve_queue), 1u);
    EXPECT_EQ(sms_reserve_queue.slots[sms_reserve_queue.head].recipient, later.sms_recipients[7]);
    for (const event_ring *ring : {&queue, &reserve_mail_queue}) {
        ASSERT_EQ(ring_count(*ring), 1u);
        EXPECT_EQ(ring->slots[ring->head].mail_resume[0], 0);
        EXPECT_EQ(ring->slots[ring->head].mail_resume[1], 3);
    }
}

TEST_F(kept_state, an_unusable_file_is_put_aside_with_a_warning_and_nothing_is_taken_back)
{
    open(settings);
    state_note_read(100);
    ring_push(queue, event_record{LOGIN_FAILED, NOTIFY_SMS, 1765000100});
    state_note_handled("A\n");
    char text[4096];
    const std::string valid(text, state_text(text, sizeof text));
    const struct {
        const char *reason;
        std::string content;
    } cases[] = {
        {"cut short", replaced(valid, "end\n", "")},
        {"of another version", replaced(valid, STATE_HEADER, "norvale-eventd owed 2")},
        {"corrupt", replaced(valid, "read 100", "read 007")},
        {"corrupt", replaced(valid, " 1765000100 ", " +5 ")},
        {"corrupt", replaced(valid, "seen A", "seen \\x41")},
        {"too large", valid + std::string(STATE_FILE_MAX, '\n')},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.content.substr(0, 200));
        open(settings);
        write_file(file, c.content);
        syslog_capture log;
        EXPECT_EQ(state_load(), -1);
        EXPECT_EQ(log.count("Warning: state file " + file + " unusable (" + c.reason +
                            "), kept as " + file + ".bad"), 1) << log.text();
        EXPECT_TRUE(read_file(file + ".bad") == c.content);
        EXPECT_EQ(access(file.c_str(), F_OK), -1);
        EXPECT_TRUE(ring_is_empty(queue));
        EXPECT_FALSE(state_handled_before("A\n"));
    }
}

// The names in the temporary folder, with each file's content or each link's
// target.
std::string listing(const std::string &path)
{
    std::string all;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(path)) {
        all += entry.path().string();
        if (entry.is_symlink())
            all += " -> " + std::filesystem::read_symlink(entry.path()).string();
        else if (entry.is_regular_file())
            all += ": " + read_file(entry.path().string());
        all += "\n";
    }
    return all;
}

TEST_F(kept_state, a_folder_or_file_another_user_could_have_placed_is_refused_and_nothing_written)
{
    // Each spoils the state folder f, made as the daemon makes it, in a fresh
    // folder d.
    typedef bool spoil_fn(const temp_dir &d, const std::string &f);
    const struct {
        const char *what;
        const char *reason;
        spoil_fn *spoil;
    } cases[] = {
        {"folder", "it is a symbolic link", [](const temp_dir &d, const std::string &f) {
             return rmdir(f.c_str()) == 0 && symlink(d.path().c_str(), f.c_str()) == 0; }},
        {"folder", "others can write to it", [](const temp_dir &, const std::string &f) {
             return chmod(f.c_str(), 0777) == 0; }},
        {"folder", "it belongs to user 65534", [](const temp_dir &, const std::string &f) {
             return chown(f.c_str(), 65534, 65534) == 0; }},
        {"file", "it is a symbolic link", [](const temp_dir &d, const std::string &f) {
             return symlink(d.write("elsewhere", "x").c_str(), (f + "/owed").c_str()) == 0; }},
        {"file", "others can write to it", [](const temp_dir &, const std::string &f) {
             return write_file(f + "/owed", "x") && chmod((f + "/owed").c_str(), 0602) == 0; }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.what) + ": " + c.reason);
        temp_dir surroundings("norvale-state");
        std::string place = surroundings.file("state");
        ASSERT_EQ(mkdir(place.c_str(), 0700), 0);
        ASSERT_TRUE(c.spoil(surroundings, place)) << strerror(errno);
        std::string before = listing(surroundings.path());
        syslog_capture log("t", LOG_MASK(LOG_ERR));
        if (state_open(settings, queue, place.c_str())) {
            EXPECT_EQ(state_load(), -1);
        }
        std::string path = std::string(c.what) == "file" ? place + "/owed" : place;
        EXPECT_EQ(log.count(std::string("Error: state ") + c.what + " " + path + " refused: " +
                            c.reason + "; nothing is kept across a restart"), 1) << log.text();
        EXPECT_FALSE(state_kept());
        ring_push(queue, event_record{TEST_EVENT, NOTIFY_TRAP, 1});
        state_save(true);
        EXPECT_EQ(listing(surroundings.path()), before);
    }
}

TEST_F(kept_state, a_new_read_time_alone_is_not_written_a_queued_event_is)
{
    auto inode = [&] {
        struct stat info;
        return stat(file.c_str(), &info) == 0 ? info.st_ino : 0;
    };
    open(settings);
    state_note_read(100);
    state_save();
    const ino_t written = inode();
    ASSERT_NE(written, 0u);
    state_note_read(200);
    state_save();
    EXPECT_EQ(inode(), written);

    ring_push(queue, event_record{TEST_EVENT, NOTIFY_TRAP, 300});
    state_save();
    EXPECT_NE(inode(), written);
    EXPECT_NE(read_file(file).find("read 200\n"), std::string::npos);
}

}  // namespace
