// The service routine on the simulated Windows: start-up, the watch table, stops, failures, bounded retries.
#include "host/service_state.h"
#include "sim/sim_windows.h"
#include "supervisor/launch_environment.h"
#include "supervisor/service_main.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <string>
#include <vector>

namespace {

constexpr DWORD running_controls_mask = 0x181;

std::string joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

void expect_only_left_open(const sim::world& run, const std::vector<std::string>& left_open)
{
    EXPECT_EQ(run.live(), left_open);
    EXPECT_TRUE(run.faults().empty()) << joined(run.faults());
}

// One whole service run per test. After every scenario only the run-long handles may remain, and the
// simulator must have seen no double close, unknown handle, endless wait or spent budget.
struct supervision : ::testing::Test {
    sim::world world;

    void SetUp() override
    {
        the_service = {};
        world.console_session(1);
        world.max_calls = 20000;
    }

    void TearDown() override { expect_only_left_open(world, sim::world::run_long()); }

    std::vector<DWORD> states() const
    {
        std::vector<DWORD> seen;
        for (const sim::status_report& report : world.reports()) {
            seen.push_back(report.status.dwCurrentState);
        }
        return seen;
    }

    const sim::status_report& final_report() const { return world.reports().back(); }

    // The service thread's calls of `operation`, as "t=<ms> <arguments>".
    std::vector<std::string> service_calls(const std::string& operation) const
    {
        std::vector<std::string> found;
        const std::string marker = "] " + operation + "(";
        for (const std::string& line : world.call_log()) {
            const auto at = line.find(marker);
            if (at == std::string::npos || line.find("[svc]") == std::string::npos) {
                continue;
            }
            const std::string time = line.substr(0, line.find(' '));
            found.push_back(time + " " + line.substr(at + marker.size(), line.rfind(')') - at - marker.size()));
        }
        return found;
    }

    std::size_t position_of(const std::string& text) const
    {
        const auto& log = world.call_log();
        auto found = std::find_if(log.begin(), log.end(),
                                  [&](const std::string& line) { return line.find(text) != std::string::npos; });
        return static_cast<std::size_t>(found - log.begin());
    }
};

TEST_F(supervision, starts_up_in_order_and_launches_the_companion_as_configured)
{
    world.at(10000).stop();

    EXPECT_EQ(world.run_service(), 0) << "a service run that reached the dispatcher exits 0";

    // Registration, start pending, stop event, session event, launch environment, running.
    EXPECT_LT(position_of("RegisterServiceCtrlHandlerExA"), position_of("SetServiceStatus(state=2"));
    EXPECT_LT(position_of("SetServiceStatus(state=2"), position_of("CreateEventA(manual=1)"));
    EXPECT_LT(position_of("CreateEventA(manual=1)"), position_of("CreateEventA(manual=0)"));
    EXPECT_LT(position_of("CreateEventA(manual=0)"), position_of("CreateFileW"));
    EXPECT_LT(position_of("CreateFileW"), position_of("SetServiceStatus(state=4"));
    ASSERT_GE(world.reports().size(), 2u);
    EXPECT_EQ(world.reports()[1].status.dwCurrentState, SERVICE_RUNNING);
    EXPECT_EQ(world.reports()[1].at, 0u);

    auto launched = world.companions();
    ASSERT_EQ(launched.size(), 1u);
    const sim::process_record& companion = *launched[0];
    EXPECT_EQ(companion.started_at, 3000u) << "no sooner than one poll after the running report";
    EXPECT_EQ(companion.application, WIDE("C:\\Orvane\\Orvane.exe"));
    EXPECT_TRUE(companion.command_line.empty());
    EXPECT_EQ(companion.session, 1u);
    EXPECT_EQ(companion.creation_flags, 0x08080400u);
    EXPECT_TRUE(companion.inherit_handles);
}

// Stop and pre-shutdown while the companion runs: stop pending, Ctrl-C, stopped after the helper's run.
TEST(supervision_runs, stop_and_preshutdown_stop_the_companion_gracefully_and_end_the_service)
{
    for (DWORD control : {SERVICE_CONTROL_STOP, SERVICE_CONTROL_PRESHUTDOWN}) {
        SCOPED_TRACE(control);
        sim::world run;
        the_service = {};
        run.console_session(1);
        run.at(10000).control(control);

        EXPECT_EQ(run.run_service(), 0) << "a service run that reached the dispatcher exits 0";

        auto launched = run.companions();
        ASSERT_EQ(launched.size(), 1u);
        EXPECT_EQ(launched[0]->ctrl_c_at, std::optional<sim::virtual_ms>(10000));
        EXPECT_EQ(launched[0]->ended, sim::end_reason::ctrl_c);
        ASSERT_EQ(run.helpers().size(), 1u);
        EXPECT_EQ(run.helpers()[0]->session, 1u);

        ASSERT_EQ(run.reports().size(), 4u);
        EXPECT_EQ(run.reports()[2].status.dwCurrentState, SERVICE_STOP_PENDING);
        EXPECT_EQ(run.reports()[2].at, 10000u);
        EXPECT_EQ(run.reports()[3].status.dwCurrentState, SERVICE_STOPPED);
        EXPECT_EQ(run.reports()[3].at, 10000u + run.helper_run_ms);
        EXPECT_EQ(run.reports()[3].status.dwWin32ExitCode, 0u);
        expect_only_left_open(run, sim::world::run_long());
    }
}

TEST_F(supervision, a_companion_ending_by_itself_is_released_in_order_and_relaunched_after_the_poll)
{
    sim::program_behaviour with_grandchild = sim::exits_after(2000, ERROR_PROCESS_ABORTED);
    with_grandchild.starts_grandchild = true;
    world.next_companions({with_grandchild});
    world.at(9000).stop();

    world.run_service();

    auto launched = world.companions();
    ASSERT_EQ(launched.size(), 2u);
    EXPECT_EQ(launched[0]->ended_at, std::optional<sim::virtual_ms>(5000));
    EXPECT_EQ(launched[1]->started_at, 8000u) << "3000 ms after the release";
    EXPECT_NE(launched[0]->job_label, launched[1]->job_label) << "each launch in a job of its own";

    // Thread, process, token, job; the job last, so closing it ends what the companion left behind.
    auto closes = service_calls("CloseHandle");
    ASSERT_GE(closes.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(closes.begin() + 1, closes.begin() + 5),
              (std::vector<std::string>{"t=5000 thread#1", "t=5000 process#1", "t=5000 token#2", "t=5000 job#1"}));
    // The grandchild was created right after the companion, with the next process id.
    const sim::process_record* grandchild = world.process(launched[0]->pid + 4);
    ASSERT_TRUE(grandchild != nullptr && grandchild->is_grandchild);
    EXPECT_EQ(grandchild->ended, sim::end_reason::job_closed);
    EXPECT_EQ(grandchild->ended_at, std::optional<sim::virtual_ms>(5000));
}

TEST_F(supervision, exit_code_1115_stops_the_service_without_stop_pending_or_relaunch)
{
    world.next_companions({sim::exits_after(5000, ERROR_SHUTDOWN_IN_PROGRESS)});

    EXPECT_EQ(world.run_service(), 0) << "a service run that reached the dispatcher exits 0";

    ASSERT_EQ(world.companions().size(), 1u);
    EXPECT_TRUE(world.helpers().empty()) << "a companion that ended is not asked to stop";
    EXPECT_EQ(states(), (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOPPED}));
    EXPECT_EQ(final_report().at, 8000u);
    EXPECT_EQ(final_report().status.dwControlsAccepted, running_controls_mask);
    EXPECT_EQ(final_report().status.dwWaitHint, 0u);
    EXPECT_EQ(final_report().status.dwWin32ExitCode, 0u);
    EXPECT_TRUE(world.event_signalled(the_service.stop_event));
}

TEST_F(supervision, an_unreadable_exit_code_counts_as_an_ordinary_end)
{
    world.next_companions({sim::exits_after(2000, ERROR_SHUTDOWN_IN_PROGRESS)});
    world.fail("GetExitCodeProcess", 1, ERROR_ACCESS_DENIED);
    world.at(9000).stop();

    world.run_service();

    auto launched = world.companions();
    ASSERT_EQ(launched.size(), 2u);
    EXPECT_EQ(launched[1]->started_at, 8000u);
    EXPECT_EQ(states().back(), SERVICE_STOPPED);
    EXPECT_EQ(states()[2], SERVICE_STOP_PENDING) << "it ended through the stop control, not through 1115";
}

TEST_F(supervision, another_session_taking_the_console_moves_the_companion)
{
    // The first companion ignores Ctrl-C and is terminated; the second obeys half a second late.
    world.next_companions({sim::ignores_ctrl_c(), sim::ends_on_ctrl_c_after(500, 0)});
    world.at(10000).console_connect(2);
    world.at(40000).console_connect(3);
    world.at(60000).stop();

    world.run_service();

    auto launched = world.companions();
    ASSERT_EQ(launched.size(), 3u);
    const sim::virtual_ms helper_end = 10000 + world.helper_run_ms;
    EXPECT_EQ(launched[0]->ctrl_c_at, std::optional<sim::virtual_ms>(10000));
    EXPECT_EQ(launched[0]->ended, sim::end_reason::terminated);
    EXPECT_EQ(launched[0]->exit_code, ERROR_PROCESS_ABORTED);
    EXPECT_EQ(launched[0]->ended_at, std::optional<sim::virtual_ms>(helper_end + 20000)) << "after the grace";
    EXPECT_EQ(launched[1]->started_at, helper_end + 20000 + 3000);
    EXPECT_EQ(launched[1]->session, 2u) << "launched with a token bound to the new session";
    EXPECT_NE(launched[1]->token_label, launched[0]->token_label);

    EXPECT_EQ(launched[1]->ended, sim::end_reason::ctrl_c);
    EXPECT_EQ(launched[1]->ended_at, std::optional<sim::virtual_ms>(40500));
    EXPECT_EQ(launched[2]->started_at, 43500u) << "3000 ms after the cooperative end";
    EXPECT_EQ(launched[2]->session, 3u);

    // Each helper ran in the session of the companion it stopped.
    auto helpers = world.helpers();
    ASSERT_EQ(helpers.size(), 3u);
    EXPECT_EQ(helpers[0]->session, 1u);
    EXPECT_EQ(helpers[1]->session, 2u);
    EXPECT_EQ(helpers[2]->session, 3u);
}

TEST_F(supervision, console_lost_to_no_session_stops_the_companion_and_polls_without_launching)
{
    world.at(10000).console_session(no_console_session).control(SERVICE_CONTROL_SESSIONCHANGE, WTS_CONSOLE_CONNECT);
    world.at(20000).stop();

    world.run_service();

    ASSERT_EQ(world.companions().size(), 1u);
    EXPECT_EQ(world.companions()[0]->ctrl_c_at, std::optional<sim::virtual_ms>(10000));
    // Release at 10030; polls at 13030, 16030, 19030 each find no session.
    EXPECT_EQ(world.console_queries_at(),
              (std::vector<std::string>{"t=3000 1", "t=10000 4294967295", "t=13030 4294967295", "t=16030 4294967295",
                                        "t=19030 4294967295"}));
}

TEST_F(supervision, a_reconnect_to_the_same_session_keeps_the_companion)
{
    world.at(10000).console_connect(1);
    world.at(11000).console_disconnect().console_session(1);
    world.at(12000).console_connect(1);
    world.at(20000).stop();

    world.run_service();

    ASSERT_EQ(world.companions().size(), 1u);
    EXPECT_EQ(world.companions()[0]->ctrl_c_at, std::optional<sim::virtual_ms>(20000));
    EXPECT_EQ(world.helpers().size(), 1u);
    // One query per connect notice, none for the disconnect.
    EXPECT_EQ(world.console_queries_at(), (std::vector<std::string>{"t=3000 1", "t=10000 1", "t=12000 1"}));
}

TEST_F(supervision, several_connect_notices_before_a_wake_count_as_one)
{
    world.at(1000).console_connect(1);
    world.at(2000).console_connect(1);
    world.at(2500).console_connect(1);
    world.at(20000).stop();

    world.run_service();

    ASSERT_EQ(world.companions().size(), 1u);
    // The poll's query and a single wake of the watch; then it blocks until the stop.
    EXPECT_EQ(world.console_queries_at(), (std::vector<std::string>{"t=3000 1", "t=3000 1"}));
    EXPECT_EQ(world.calls("WaitForMultipleObjects"), 2u);
}

TEST_F(supervision, no_console_session_means_no_launch_and_a_query_every_poll)
{
    world.console_session(no_console_session);
    world.at(10000).stop();

    world.run_service();

    EXPECT_TRUE(world.companions().empty());
    EXPECT_EQ(world.calls("OpenProcessToken"), 0u);
    EXPECT_EQ(world.console_queries_at(),
              (std::vector<std::string>{"t=3000 4294967295", "t=6000 4294967295", "t=9000 4294967295"}));
    EXPECT_EQ(final_report().at, 10000u);
}

TEST_F(supervision, a_stop_between_cycles_ends_the_service_without_a_launch)
{
    world.next_companions({sim::exits_after(2000, 0)});
    world.at(6000).stop();

    world.run_service();

    ASSERT_EQ(world.companions().size(), 1u);
    EXPECT_TRUE(world.helpers().empty());
    EXPECT_EQ(states(),
              (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED}));
    EXPECT_EQ(final_report().at, 6000u);
}

TEST_F(supervision, a_stop_during_a_session_switch_grace_period_ends_the_loop_without_another_launch)
{
    world.next_companions({sim::ignores_ctrl_c()});
    world.at(10000).console_connect(2);
    world.at(15000).stop();

    world.run_service();

    ASSERT_EQ(world.companions().size(), 1u);
    EXPECT_EQ(world.helpers().size(), 1u);
    const sim::virtual_ms grace_end = 10000 + world.helper_run_ms + 20000;
    EXPECT_EQ(world.companions()[0]->ended_at, std::optional<sim::virtual_ms>(grace_end));
    EXPECT_EQ(world.companions()[0]->exit_code, ERROR_PROCESS_ABORTED);
    EXPECT_EQ(world.reports()[2].at, 15000u);
    EXPECT_EQ(final_report().status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(final_report().at, grace_end);
}

TEST_F(supervision, a_failed_poll_after_a_stop_ends_the_loop_without_another_launch)
{
    // The stop arrives during the session switch's grace period; the poll after the release is the
    // fourth WaitForSingleObject (first poll, helper, grace period).
    world.next_companions({sim::ignores_ctrl_c()});
    world.at(10000).console_connect(2);
    world.at(15000).stop();
    world.fail("WaitForSingleObject", 4, ERROR_INVALID_HANDLE);

    world.run_service();

    ASSERT_EQ(world.companions().size(), 1u) << "nothing launched in session 2 while stopping";
    const sim::virtual_ms grace_end = 10000 + world.helper_run_ms + 20000;
    EXPECT_EQ(final_report().status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(final_report().status.dwWin32ExitCode, 0u);
    EXPECT_EQ(final_report().at, grace_end);
}

TEST_F(supervision, a_companion_that_cannot_be_asked_to_stop_is_terminated_at_once)
{
    // The helper's launch is the second CreateProcessAsUserW.
    world.fail("CreateProcessAsUserW", 2, ERROR_ACCESS_DENIED);
    world.at(10000).stop();

    world.run_service();

    ASSERT_EQ(world.companions().size(), 1u);
    EXPECT_TRUE(world.helpers().empty());
    EXPECT_EQ(world.companions()[0]->ended, sim::end_reason::terminated);
    EXPECT_EQ(world.companions()[0]->exit_code, ERROR_PROCESS_ABORTED);
    EXPECT_EQ(world.companions()[0]->ended_at, std::optional<sim::virtual_ms>(10000));
    EXPECT_EQ(final_report().at, 10000u);
}

TEST(supervision_runs, start_up_failures_end_the_service_or_the_process_with_the_error_code)
{
    struct start_failure {
        const char* operation;
        unsigned nth;
        DWORD error;
        DWORD reported;
        std::vector<std::string> left_open;
        unsigned events_attempted;
    };
    const std::vector<start_failure> failures = {
        {"CreateEventA",
         1,
         ERROR_NOT_ENOUGH_MEMORY,
         ERROR_NOT_ENOUGH_MEMORY,
         {"service status (RegisterServiceCtrlHandlerExA)"},
         1},
        {"CreateEventA",
         2,
         ERROR_ACCESS_DENIED,
         ERROR_ACCESS_DENIED,
         {"event (CreateEventA)", "service status (RegisterServiceCtrlHandlerExA)"},
         2},
        {"CreateFileW",
         1,
         ERROR_SHARING_VIOLATION,
         ERROR_SHARING_VIOLATION,
         {"event (CreateEventA)", "event (CreateEventA)", "service status (RegisterServiceCtrlHandlerExA)"},
         2},
        // A failure that leaves no error code must still not read as a clean stop.
        {"CreateFileW",
         1,
         NO_ERROR,
         ERROR_GEN_FAILURE,
         {"event (CreateEventA)", "event (CreateEventA)", "service status (RegisterServiceCtrlHandlerExA)"},
         2},
        // A running report that never reached the manager: it would never send a stop, so the start fails.
        {"SetServiceStatus", 2, ERROR_INVALID_HANDLE, ERROR_INVALID_HANDLE, sim::world::run_long(), 2},
    };
    for (const start_failure& failure : failures) {
        SCOPED_TRACE(std::string(failure.operation) + " #" + std::to_string(failure.nth));
        sim::world run;
        the_service = {};
        run.console_session(1);
        run.fail(failure.operation, failure.nth, failure.error);

        EXPECT_EQ(run.run_service(), 0) << "the failure is in the stopped report, not the exit status";

        std::vector<DWORD> seen;
        for (const sim::status_report& report : run.reports()) {
            seen.push_back(report.status.dwCurrentState);
        }
        EXPECT_EQ(seen, (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_STOPPED}));
        EXPECT_EQ(run.reports().back().status.dwWin32ExitCode, failure.reported);
        EXPECT_EQ(run.calls("CreateEventA"), failure.events_attempted);
        EXPECT_TRUE(run.companions().empty());
        // Nothing made before the failure is closed; the end of the process releases it.
        expect_only_left_open(run, failure.left_open);
    }

    // Without a status handle nothing can be reported: the process ends with the error code, never 0.
    for (const auto& [injected, exit_code] :
         {std::pair{ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED}, std::pair{NO_ERROR, ERROR_GEN_FAILURE}}) {
        SCOPED_TRACE(injected);
        sim::world run;
        the_service = {};
        run.fail("RegisterServiceCtrlHandlerExA", 1, injected);
        EXPECT_EQ(run.run_service(), static_cast<int>(exit_code));
        EXPECT_EQ(run.exited_with(), std::optional<UINT>(exit_code));
        EXPECT_TRUE(run.reports().empty());
        EXPECT_EQ(run.calls("CreateEventA"), 0u);
        expect_only_left_open(run, {});
    }
}

TEST(supervision_runs, exit_code_1115_ends_the_loop_even_when_its_signal_or_the_next_poll_fails)
{
    // The watch's SetEvent is the run's first; the poll after the release would be its second.
    for (const char* failing : {"SetEvent", "WaitForSingleObject"}) {
        SCOPED_TRACE(failing);
        sim::world run;
        the_service = {};
        run.console_session(1);
        run.next_companions({sim::exits_after(5000, ERROR_SHUTDOWN_IN_PROGRESS)});
        run.fail(failing, std::string(failing) == "SetEvent" ? 1 : 2, ERROR_INVALID_HANDLE);
        run.at(60000).stop();

        run.run_service();

        EXPECT_EQ(run.companions().size(), 1u) << "no relaunch";
        EXPECT_EQ(run.reports().back().status.dwCurrentState, SERVICE_STOPPED);
        EXPECT_EQ(run.reports().back().status.dwWin32ExitCode, 0u);
        EXPECT_EQ(run.reports().back().at, 8000u);
        expect_only_left_open(run, sim::world::run_long());
    }
}

TEST_F(supervision, a_launch_waits_until_the_attribute_list_has_its_job_entry)
{
    // The first update is the handle list at start-up, the second the job entry at the first launch.
    world.fail("UpdateProcThreadAttribute", 2, ERROR_INVALID_PARAMETER);
    world.at(10000).stop();

    world.run_service();

    auto launched = world.companions();
    ASSERT_EQ(launched.size(), 1u);
    EXPECT_EQ(launched[0]->started_at, 6000u) << "nothing launched at 3000, outside any job";
    EXPECT_EQ(launched[0]->job_label, "job#2");
}

TEST_F(supervision, a_failed_token_job_or_launch_closes_what_the_cycle_made_and_retries_after_the_poll)
{
    world.fail("OpenProcessToken", 1, ERROR_ACCESS_DENIED);
    world.fail("SetTokenInformation", 1, ERROR_PRIVILEGE_NOT_HELD);
    world.fail("CreateJobObjectW", 1, ERROR_NOT_ENOUGH_MEMORY);
    world.fail("SetInformationJobObject", 1, ERROR_ACCESS_DENIED);
    world.at(20000).stop();

    world.run_service();

    // 3000 no token, 6000 session not set, 9000 no job, 12000 limits not set, 15000 launched.
    auto launched = world.companions();
    ASSERT_EQ(launched.size(), 1u);
    EXPECT_EQ(launched[0]->started_at, 15000u);
    EXPECT_EQ(world.calls("CreateProcessAsUserW"), 2u) << "the companion and the stop helper";
    EXPECT_EQ(states(),
              (std::vector<DWORD>{SERVICE_START_PENDING, SERVICE_RUNNING, SERVICE_STOP_PENDING, SERVICE_STOPPED}));
    EXPECT_EQ(final_report().status.dwWin32ExitCode, 0u) << "cycle failures are not reported";
}

TEST_F(supervision, a_missing_companion_closes_each_cycles_token_and_job_and_is_found_once_it_appears)
{
    world.files.erase(WIDE("C:\\Orvane\\Orvane.exe"));
    world.at(10500).add_file(WIDE("C:\\Orvane\\Orvane.exe"));
    world.at(20000).stop();

    world.run_service();

    ASSERT_EQ(world.companions().size(), 1u);
    EXPECT_EQ(world.companions()[0]->started_at, 12000u);
    // The failed launches at 3000, 6000 and 9000 each closed their token and then their job.
    auto closes = service_calls("CloseHandle");
    const std::vector<std::string> first_cycles(closes.begin(), closes.begin() + 9);
    EXPECT_EQ(first_cycles, (std::vector<std::string>{"t=3000 token#1", "t=3000 token#2", "t=3000 job#1",
                                                      "t=6000 token#3", "t=6000 token#4", "t=6000 job#2",
                                                      "t=9000 token#5", "t=9000 token#6", "t=9000 job#3"}));
}

// The log over whole runs. Before the start the log holds an earlier run's line (E) and the previous log
// an older run's (O); companions are launched at 3000, 7000 and 11000, the first writing past the cap where
// the row says so. Each file is read back as those letters and the launch numbers of its companions.
TEST(supervision_runs, the_log_keeps_the_previous_run_and_is_set_aside_past_its_cap_before_a_launch)
{
    struct row {
        const char* name;
        bool first_past_the_cap;
        const char* failing; // nullptr: none
        unsigned nth;
        bool held; // another process holds the log from 4500 to 9500, as a child that left the job would
        const char* log;
        const char* previous_log;
    };
    const std::vector<row> rows = {
        {"the previous run kept at start", false, nullptr, 0, false, "123", "E"},
        {"a failed rename at start empties the log as before", false, "MoveFileExW", 1, false, "123", "O"},
        {"set aside before the launch after the cap", true, nullptr, 0, false, "23", "1"},
        // The second companion appends to the full log; the third launch sets it aside.
        {"the rename fails", true, "MoveFileExW", 2, false, "3", "12"},
        {"the size cannot be read", true, "GetFileSizeEx", 2, false, "3", "12"},
        {"the null device cannot stand by", true, "CreateFileW", 2, false, "3", "12"},
        // The second companion writes to the null device; the third launch opens the log again.
        {"the new log cannot be opened", true, "CreateFileW", 3, false, "3", "1"},
        {"the log held open elsewhere", true, nullptr, 0, true, "3", "1"},
    };
    const wide_string log_path = WIDE("C:\\Windows\\Temp\\orvane.log");
    const wide_string previous_log_path = WIDE("C:\\Windows\\Temp\\orvane.1.log");
    for (const row& each : rows) {
        SCOPED_TRACE(each.name);
        sim::world run;
        the_service = {};
        run.console_session(1);
        run.append_to_file(log_path, "E\n");
        run.append_to_file(previous_log_path, "O\n");
        sim::program_behaviour first = sim::exits_after(1000, 3);
        first.output_bytes = each.first_past_the_cap ? log_rotation_threshold_bytes : 0;
        run.next_companions({first, sim::exits_after(1000, 3)});
        if (each.failing != nullptr) {
            run.fail(each.failing, each.nth, ERROR_ACCESS_DENIED);
        }
        HANDLE holder = nullptr;
        if (each.held) {
            run.at(4500).run([&] { run.file_paths[holder = run.add_handle("file", "holder")] = log_path; });
            run.at(9500).run([&] { run.close_handle(holder); });
        }
        run.at(13000).stop();

        run.run_service();

        ASSERT_EQ(run.companions().size(), 3u) << "every launch goes ahead";
        auto read_back = [&](const wide_string& path) {
            return std::regex_replace(run.file_contents[path].lines, std::regex("companion |\n"), "");
        };
        EXPECT_EQ(read_back(log_path), each.log);
        EXPECT_EQ(read_back(previous_log_path), each.previous_log);
        expect_only_left_open(run, sim::world::run_long());
    }
}

TEST_F(supervision, a_relaunch_loop_keeps_each_log_within_the_cap_and_one_runs_output)
{
    constexpr std::uint64_t output_bytes = 6 * 1024 * 1024;
    sim::program_behaviour noisy = sim::exits_after(1000, 3);
    noisy.output_bytes = output_bytes;
    world.next_companions(std::vector<sim::program_behaviour>(7, noisy));
    world.at(29000).stop();

    world.run_service();

    ASSERT_EQ(world.companions().size(), 7u);
    const std::uint64_t log = world.file_contents[WIDE("C:\\Windows\\Temp\\orvane.log")].size_bytes;
    const std::uint64_t previous = world.file_contents[WIDE("C:\\Windows\\Temp\\orvane.1.log")].size_bytes;
    std::printf("relaunch loop: 7 launches writing %llu bytes each: orvane.log %llu bytes, orvane.1.log %llu bytes\n",
                static_cast<unsigned long long>(output_bytes), static_cast<unsigned long long>(log),
                static_cast<unsigned long long>(previous));
    // Set aside before the fourth and the seventh launch, each time holding three runs' output.
    EXPECT_EQ(log / output_bytes, 1u);
    EXPECT_EQ(previous / output_bytes, 3u);
}

TEST(supervision_runs, waits_that_keep_failing_end_the_service_with_a_non_zero_error)
{
    struct failing_waits {
        const char* name;
        DWORD console;
        bool polls_fail;
        bool watches_fail;
        DWORD error;
        DWORD reported;
    };
    const std::vector<failing_waits> cases = {
        {"polls without a console session", no_console_session, true, false, ERROR_INVALID_HANDLE,
         ERROR_INVALID_HANDLE},
        {"polls that leave no error code", no_console_session, true, false, NO_ERROR, ERROR_GEN_FAILURE},
        {"polls and watches alike", 1, true, true, ERROR_INVALID_HANDLE, ERROR_INVALID_HANDLE},
        // Successful polls between them must not let a watch that always fails be retried for ever.
        {"watches alone, polls succeeding", 1, false, true, ERROR_INVALID_HANDLE, ERROR_INVALID_HANDLE},
    };
    for (const failing_waits& scenario : cases) {
        SCOPED_TRACE(scenario.name);
        sim::world run;
        the_service = {};
        run.console_session(scenario.console);
        run.max_calls = 1000;
        if (scenario.polls_fail) {
            run.fail("WaitForSingleObject", 0, scenario.error);
        }
        if (scenario.watches_fail) {
            run.fail("WaitForMultipleObjects", 0, scenario.error);
        }

        EXPECT_EQ(run.run_service(), 0) << "a service run that reached the dispatcher exits 0";

        EXPECT_LT(run.calls(), 200u) << "ended within a bounded number of platform calls";
        EXPECT_EQ(run.reports().back().status.dwCurrentState, SERVICE_STOPPED);
        EXPECT_EQ(run.reports().back().status.dwWin32ExitCode, scenario.reported);
        if (scenario.polls_fail) {
            EXPECT_EQ(run.calls("WaitForSingleObject") + run.calls("WaitForMultipleObjects") - run.helpers().size(), 3u)
                << "three failed waits in a row, no more (the stop helper's wait aside)";
        } else {
            EXPECT_EQ(run.calls("WaitForMultipleObjects"), 3u) << "three failed watches, no more";
            EXPECT_EQ(run.companions().size(), 3u);
            EXPECT_EQ(run.helpers().size(), 3u) << "each failed watch still stops its companion gracefully";
        }
        for (const sim::process_record* companion : run.companions()) {
            EXPECT_FALSE(companion->running()) << "a failed watch still ends the companion";
        }
        expect_only_left_open(run, sim::world::run_long());
    }
}

TEST_F(supervision, polls_that_keep_failing_end_the_service_even_when_every_watch_succeeds)
{
    // Each failed poll starts a cycle at once and each companion ends at once, so the watches succeed
    // between the failed polls; without a count of polls alone nothing here would ever block.
    world.fail("WaitForSingleObject", 0, ERROR_INVALID_HANDLE);
    world.next_companions(
        {sim::exits_after(0, 3), sim::exits_after(0, 3), sim::exits_after(0, 3), sim::exits_after(0, 3)});

    EXPECT_EQ(world.run_service(), 0) << "a service run that reached the dispatcher exits 0";

    EXPECT_EQ(world.calls("WaitForSingleObject"), 3u);
    EXPECT_EQ(world.companions().size(), 2u) << "the third failed poll ends the loop before a third launch";
    EXPECT_EQ(final_report().status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(final_report().status.dwWin32ExitCode, ERROR_INVALID_HANDLE);
}

TEST_F(supervision, a_wait_that_succeeds_resets_the_failure_count)
{
    // Two failed polls, a time-out, two more failed polls: never three in a row.
    world.console_session(no_console_session);
    for (unsigned nth : {1u, 2u, 4u, 5u}) {
        world.fail("WaitForSingleObject", nth, ERROR_INVALID_HANDLE);
    }
    world.at(10000).stop();

    world.run_service();

    EXPECT_EQ(final_report().status.dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(final_report().status.dwWin32ExitCode, 0u);
    EXPECT_EQ(final_report().at, 10000u);
}

TEST_F(supervision, a_failed_watch_stops_the_companion_gracefully_and_the_loop_goes_on)
{
    world.fail("WaitForMultipleObjects", 1, ERROR_INVALID_HANDLE);
    world.at(20000).stop();

    world.run_service();

    auto launched = world.companions();
    ASSERT_EQ(launched.size(), 2u);
    EXPECT_EQ(launched[0]->ctrl_c_at, std::optional<sim::virtual_ms>(3000));
    EXPECT_EQ(launched[0]->ended, sim::end_reason::ctrl_c);
    EXPECT_EQ(launched[1]->started_at, 3000u + world.helper_run_ms + 3000);
    EXPECT_EQ(launched[1]->ctrl_c_at, std::optional<sim::virtual_ms>(20000));
    EXPECT_EQ(final_report().status.dwWin32ExitCode, 0u);
}

} // namespace
