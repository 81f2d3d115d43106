#include "core/files.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "tests/support/test_support.h"

namespace {

struct small_files : ::testing::Test {
    temp_dir dir{"norvale-files"};
    std::string write(const std::string &name, const std::string &content)
    {
        return dir.write(name, content);
    }
};

TEST_F(small_files, first_line_ends_at_the_first_line_end_after_other_text)
{
    EXPECT_STREQ(read_first_line(write("crlf", "abc\r\nsecond\n").c_str()), "abc");
    EXPECT_STREQ(read_first_line(write("lf", "abc\n").c_str()), "abc");
    EXPECT_STREQ(read_first_line(write("bare", "abc").c_str()), "abc");
    EXPECT_STREQ(read_first_line(write("lead", "\r\rabc\rdef\n").c_str()), "\r\rabc");
    EXPECT_STREQ(read_first_line(write("only", "\n").c_str()), "\n");
    EXPECT_STREQ(read_first_line(write("crs", "\r\r\n").c_str()), "\r\r\n");
    EXPECT_STREQ(read_first_line(write("empty", "").c_str()), "");
    EXPECT_STREQ(read_first_line(dir.file("none").c_str()), "");
    std::string line = read_first_line(write("long", std::string(300, 'x') + "\n").c_str());
    EXPECT_EQ(line, std::string(255, 'x'));
}

TEST_F(small_files, fifo_device_socket_and_folder_count_as_unreadable_without_waiting)
{
    std::string fifo = dir.file("fifo"), sock = dir.file("sock");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    int s = socket(AF_UNIX, SOCK_DGRAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    snprintf(address.sun_path, sizeof address.sun_path, "%s", sock.c_str());
    int bound = bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address);
    if (bound != 0)
        close(s);
    ASSERT_EQ(bound, 0);
    char buffer[64];
    for (const std::string &path : {fifo, sock, std::string("/dev/zero"), dir.path()}) {
        EXPECT_EQ(read_small_file(path.c_str(), buffer, sizeof buffer), -1) << path;
        EXPECT_STREQ(buffer, "") << path;
    }
    close(s);
}

TEST_F(small_files, read_stops_at_the_bound)
{
    char buffer[8];
    EXPECT_EQ(read_small_file(write("big", std::string(100, 'y')).c_str(), buffer, sizeof buffer), 7);
    EXPECT_STREQ(buffer, "yyyyyyy");
}

}  // namespace
