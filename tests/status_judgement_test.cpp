// The verdict of `OrvaneSetup.exe status` and its exit code, from the service's state, companions and console.
#include "setup/status_judgement.h"
#include "stop/graceful_stop.h"
#include "supervisor/service_main.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

namespace {

constexpr std::uint32_t stopped = 1;
constexpr std::uint32_t start_pending = 2;
const companion_fact in_session_1 = {4120, true, 1};
const companion_fact in_session_2 = {4388, true, 2};
const companion_fact session_unreadable = {4120, false, 0};

struct row {
    const char* what;
    status_facts facts;
    status_verdict verdict;
    std::uint32_t exit_code;
    const char* text_part;
};

TEST(status_judgement, one_verdict_and_a_distinct_exit_code_for_what_status_gathered)
{
    const row rows[] = {
        {"one companion in the console session",
         {true, service_state_running, 0, {in_session_1}, 1},
         status_verdict::healthy,
         0,
         "healthy"},
        {"not registered", {false, 0, 0, {}, 1}, status_verdict::not_registered, 1060, "not registered"},
        {"registered, stopped", {true, stopped, 0, {}, 1}, status_verdict::not_running, 1062, "not running"},
        {"start pending, with a companion left over",
         {true, start_pending, 0, {in_session_1}, 1},
         status_verdict::not_running,
         1062,
         "not running"},
        {"running, no companion",
         {true, service_state_running, 0, {}, 1},
         status_verdict::no_companion,
         1168,
         "not even after a second look"},
        {"no session owns the console, no companion",
         {true, service_state_running, 0, {}, console_session_none},
         status_verdict::no_companion,
         1168,
         "no session owns the console"},
        {"the companion in another session than the console's",
         {true, service_state_running, 0, {in_session_2}, 1},
         status_verdict::wrong_session,
         7038,
         "runs in session 2, the console is session 1; OrvaneService moves it there, which takes up to 33 s"},
        {"no session owns the console, the companion still runs",
         {true, service_state_running, 0, {in_session_1}, console_session_none},
         status_verdict::wrong_session,
         7038,
         "while no session owns the console"},
        {"two companions, one of them in the console session",
         {true, service_state_running, 0, {in_session_1, in_session_2}, 1},
         status_verdict::several_companions,
         183,
         "2 Orvane.exe processes"},
        {"two companions, neither session readable",
         {true, service_state_running, 0, {session_unreadable, session_unreadable}, 1},
         status_verdict::several_companions,
         183,
         "2 Orvane.exe processes"},
        {"one companion whose session cannot be read without elevation",
         {true, service_state_running, 0, {session_unreadable}, 1},
         status_verdict::session_unreadable,
         5,
         "elevated"},
        {"the companions could not be looked for",
         {true, service_state_running, 1450, {}, 1},
         status_verdict::unknown,
         1237,
         "could not be read (error 1450)"},
        {"the state query failed, leaving the state unread",
         {true, 0, 6, {}, 1},
         status_verdict::unknown,
         1237,
         "could not be read (error 6)"},
    };
    std::map<status_verdict, std::uint32_t> code_of;
    std::set<std::uint32_t> codes;
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        const status_judgement judgement = judge_status(r.facts);
        EXPECT_EQ(judgement.verdict, r.verdict);
        EXPECT_EQ(judgement.exit_code, r.exit_code);
        EXPECT_NE(judgement.text.find(r.text_part), std::string::npos) << judgement.text;
        code_of.emplace(r.verdict, r.exit_code);
        codes.insert(r.exit_code);
    }
    EXPECT_EQ(codes.size(), code_of.size()) << "two verdicts share an exit code";
    // The figure in the wrong-session verdict is the service's own worst case of a move.
    EXPECT_EQ(session_move_limit_ms, interrupt_wait_limit_ms + grace_period_ms + poll_interval_ms);
}

} // namespace
