// The watch table: what one wake of the companion's watch leads to.
#include "supervisor/service_main.h"

#include <gtest/gtest.h>

namespace {

constexpr DWORD cycle_session = 4;
constexpr DWORD other_session = 7;

TEST(watch_decision, companion_end)
{
    EXPECT_EQ(decide_watch_action(watch_companion_index, true, stop_request_exit_code, cycle_session, cycle_session),
              watch_action::stop_service);
    EXPECT_EQ(decide_watch_action(watch_companion_index, true, 0, cycle_session, cycle_session), watch_action::release);
    EXPECT_EQ(decide_watch_action(watch_companion_index, true, ERROR_PROCESS_ABORTED, cycle_session, cycle_session),
              watch_action::release);
    // An exit code that could not be read is an ordinary end, whatever the value holds.
    EXPECT_EQ(decide_watch_action(watch_companion_index, false, stop_request_exit_code, cycle_session, cycle_session),
              watch_action::release);
    // The console session plays no part when the companion ended.
    EXPECT_EQ(decide_watch_action(watch_companion_index, true, 0, other_session, cycle_session), watch_action::release);
}

TEST(watch_decision, console_connect)
{
    EXPECT_EQ(decide_watch_action(watch_session_index, false, 0, cycle_session, cycle_session),
              watch_action::keep_watching);
    EXPECT_EQ(decide_watch_action(watch_session_index, false, 0, other_session, cycle_session),
              watch_action::stop_companion);
    EXPECT_EQ(decide_watch_action(watch_session_index, false, 0, no_console_session, cycle_session),
              watch_action::stop_companion);
    // Session 0 is a session like any other, not "no session".
    EXPECT_EQ(decide_watch_action(watch_session_index, false, 0, 0, 0), watch_action::keep_watching);
}

TEST(watch_decision, stop_and_failed_waits_stop_the_companion)
{
    EXPECT_EQ(decide_watch_action(watch_stop_index, true, stop_request_exit_code, cycle_session, cycle_session),
              watch_action::stop_companion);
    // An array: <windows.h>'s wait codes are not all of one type, so a braced list of them has none.
    const DWORD failed_waits[] = {watch_handle_count, WAIT_ABANDONED_0, WAIT_ABANDONED_0 + 1, WAIT_TIMEOUT,
                                  WAIT_FAILED};
    for (DWORD failed : failed_waits) {
        EXPECT_EQ(decide_watch_action(failed, true, stop_request_exit_code, cycle_session, cycle_session),
                  watch_action::stop_companion)
            << "wait result " << failed;
    }
}

} // namespace
