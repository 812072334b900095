// The stop command line's exact text and the bounded append: pure routines, no simulated Windows needed.
#include "platform/platform_ops.h"
#include "stop/graceful_stop.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

const WCHAR* const plain_path = WIDE("C:\\A\\B\\svc\\x.exe");

TEST(stop_command_line, process_id_is_unsigned_decimal_without_padding_or_sign)
{
    EXPECT_EQ(build_stop_command_line(plain_path, 7), WIDE("\"C:\\A\\B\\svc\\x.exe\" --terminate 7"));
    EXPECT_EQ(build_stop_command_line(plain_path, 512), WIDE("\"C:\\A\\B\\svc\\x.exe\" --terminate 512"));
    EXPECT_EQ(build_stop_command_line(plain_path, 0), WIDE("\"C:\\A\\B\\svc\\x.exe\" --terminate 0"));
    // The top bit set must not come out as a negative number.
    EXPECT_EQ(build_stop_command_line(plain_path, 0x80000000), WIDE("\"C:\\A\\B\\svc\\x.exe\" --terminate 2147483648"));
    EXPECT_EQ(build_stop_command_line(plain_path, 0xFFFFFFFF), WIDE("\"C:\\A\\B\\svc\\x.exe\" --terminate 4294967295"));
    // Zeros inside the number are digits, not padding.
    EXPECT_EQ(build_stop_command_line(plain_path, 1000200), WIDE("\"C:\\A\\B\\svc\\x.exe\" --terminate 1000200"));
}

TEST(stop_command_line, path_with_spaces_is_quoted_whole)
{
    EXPECT_EQ(build_stop_command_line(WIDE("C:\\Program Files\\Orvane Tools\\svc\\Orvane Service.exe"), 4321),
              WIDE("\"C:\\Program Files\\Orvane Tools\\svc\\Orvane Service.exe\" --terminate 4321"));
}

TEST(bounded_append, appends_only_when_the_result_with_its_terminator_fits)
{
    WCHAR exact[8] = WIDE("abc");
    EXPECT_EQ(bounded_wcscat(exact, 8, WIDE("defg")), 0); // 7 characters + terminator == 8
    EXPECT_EQ(wide_string(exact), WIDE("abcdefg"));

    WCHAR one_over[8] = WIDE("abc");
    EXPECT_NE(bounded_wcscat(one_over, 8, WIDE("defgh")), 0);
    EXPECT_EQ(one_over[0], 0) << "a failed append leaves the destination empty";

    // A destination already full up to its terminator takes nothing more, not even one character.
    WCHAR full[4] = WIDE("abc");
    EXPECT_NE(bounded_wcscat(full, 4, WIDE("d")), 0);
    EXPECT_EQ(full[0], 0);
}

TEST(bounded_append, rejects_bad_arguments_without_writing_out_of_bounds)
{
    // Destination not terminated within its size.
    WCHAR unterminated[4] = {WIDE('a'), WIDE('b'), WIDE('c'), WIDE('d')};
    EXPECT_EQ(bounded_wcscat(unterminated, 4, WIDE("x")), EINVAL);
    EXPECT_EQ(unterminated[0], 0);
    EXPECT_EQ(unterminated[3], WIDE('d'));

    WCHAR buffer[4] = WIDE("ab");
    EXPECT_EQ(bounded_wcscat(buffer, 4, nullptr), EINVAL);
    EXPECT_EQ(buffer[0], 0);

    WCHAR untouched[4] = WIDE("ab");
    EXPECT_EQ(bounded_wcscat(untouched, 0, WIDE("x")), EINVAL);
    EXPECT_EQ(wide_string(untouched), WIDE("ab"));
    EXPECT_EQ(bounded_wcscat(nullptr, 4, WIDE("x")), EINVAL);
}

} // namespace
