#include "notify/quoting.h"

#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include <unistd.h>

#include "core/command.h"

namespace {

// What the real /bin/sh makes of a command text: printf %s prints the one
// argument the shell handed it.
std::string shell_prints(const std::string &command)
{
    char out[512];
    int got = run_command_output(command.c_str(), out, sizeof out - 1);
    return got < 0 ? "<no output>" : std::string(out, size_t(got));
}

}  // namespace

TEST(quoting, append_stops_at_the_buffer_end_but_keeps_counting)
{
    char buf[8 + 4];
    std::memset(buf, '#', sizeof buf);
    command_text t;
    text_start(t, buf, 8);
    text_printf(t, "%s", "abcdefg");  // 7 bytes and the NUL: exactly full
    EXPECT_TRUE(text_fits(t));
    EXPECT_STREQ("abcdefg", buf);
    text_double_quoted(t, "$");       // needs 2 more: refused
    text_word(t, "a b");              // and 5 more
    EXPECT_FALSE(text_fits(t));
    EXPECT_EQ(14u, t.len);
    EXPECT_STREQ("abcdefg", buf);
    EXPECT_EQ(std::string(4, '#'), std::string(buf + 8, 4)) << "wrote past size";

    text_start(t, buf, 8);
    text_printf(t, "%s", "abcdefghij");  // cut by the formatter itself
    text_single_quoted(t, "'");
    EXPECT_EQ(14u, t.len);
    EXPECT_STREQ("abcdefg", buf);
    EXPECT_EQ(std::string(4, '#'), std::string(buf + 8, 4));
}

TEST(quoting, plain_words_stay_bare_and_everything_else_is_quoted)
{
    char buf[128];
    command_text t;
    auto word = [&](const char *v) {
        text_start(t, buf, sizeof buf);
        text_word(t, v);
        return std::string(buf);
    };
    EXPECT_EQ("+49170123,x=y:a/b@c.d_e-f", word("+49170123,x=y:a/b@c.d_e-f"));
    EXPECT_EQ("''", word(""));
    EXPECT_EQ("'a b'", word("a b"));
    EXPECT_EQ("'it'\\''s'", word("it's"));
    text_start(t, buf, sizeof buf);
    text_double_quoted(t, "a\\b\"c$d`e'f\ng");
    EXPECT_STREQ("a\\\\b\\\"c\\$d\\`e'f\ng", buf);
}

TEST(quoting, shell_hands_hostile_values_over_unchanged)
{
    const char *values[] = {
        "$(touch /tmp/norvale-quoting-pwned)", "`id`", "'; rm -rf /;'", "a\"b\\\"c",
        "line1\nline2", "$HOME ${PATH} $1 $$", "\\", "'", "''", "*", "a b\tc", "~root", "!x",
        "#", "&;|<>(){}", "\\n",
    };
    unlink("/tmp/norvale-quoting-pwned");
    char buf[256];
    command_text t;
    for (const char *v : values) {
        text_start(t, buf, sizeof buf);
        text_printf(t, "printf %%s ");
        text_word(t, v);
        ASSERT_TRUE(text_fits(t));
        EXPECT_EQ(v, shell_prints(buf)) << "word: " << buf;

        text_start(t, buf, sizeof buf);
        text_printf(t, "printf %%s \"");
        text_double_quoted(t, v);
        text_printf(t, "\"");
        ASSERT_TRUE(text_fits(t));
        EXPECT_EQ(v, shell_prints(buf)) << "double-quoted: " << buf;
    }
    EXPECT_NE(0, access("/tmp/norvale-quoting-pwned", F_OK));
}
