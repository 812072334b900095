// The status reports, the control handler's decisions, the guarded record, and the simulator's own checks.
#include "host/service_state.h"
#include "sim/sim_windows.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

// A registered service with both events, as the service routine leaves it before the running report.
struct registered_service : ::testing::Test {
    sim::world world;

    void SetUp() override
    {
        the_service = {};
        the_service.status_handle =
            os->RegisterServiceCtrlHandlerExA("OrvaneService", service_control_handler, nullptr);
        the_service.stop_event = os->CreateEventA(nullptr, TRUE, FALSE, nullptr);
        the_service.session_event = os->CreateEventA(nullptr, FALSE, FALSE, nullptr);
    }

    const SERVICE_STATUS& last() const { return world.reports().back().status; }
};

TEST_F(registered_service, each_report_writes_its_fields_and_keeps_the_others)
{
    // Leave garbage in every field so a report that skips a field it must write shows up.
    the_service.status = {7, 7, 7, 7, 7, 7, 7};
    report_start_pending();
    EXPECT_EQ(last().dwServiceType, SERVICE_WIN32_OWN_PROCESS);
    EXPECT_EQ(last().dwCurrentState, SERVICE_START_PENDING);
    EXPECT_EQ(last().dwControlsAccepted, 0u);
    EXPECT_EQ(last().dwWin32ExitCode, 0u);
    EXPECT_EQ(last().dwServiceSpecificExitCode, 0u);
    EXPECT_EQ(last().dwCheckPoint, 0u);
    EXPECT_EQ(last().dwWaitHint, 0u);

    the_service.status.dwWaitHint = 11;
    the_service.status.dwWin32ExitCode = 12;
    report_running();
    EXPECT_EQ(last().dwCurrentState, SERVICE_RUNNING);
    EXPECT_EQ(last().dwControlsAccepted, 0x181u);
    EXPECT_EQ(last().dwWaitHint, 11u) << "running leaves the wait hint alone";
    EXPECT_EQ(last().dwWin32ExitCode, 12u) << "running leaves the exit code alone";

    report_stop_pending();
    EXPECT_EQ(last().dwCurrentState, SERVICE_STOP_PENDING);
    EXPECT_EQ(last().dwControlsAccepted, 0u);
    EXPECT_EQ(last().dwWaitHint, 30000u);
    EXPECT_EQ(last().dwWin32ExitCode, 12u);

    report_stopped();
    EXPECT_EQ(last().dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(last().dwControlsAccepted, 0u) << "the stopped report after a stop keeps controls 0";
    EXPECT_EQ(last().dwWaitHint, 30000u) << "and keeps the stop's wait hint";
    EXPECT_EQ(last().dwServiceType, SERVICE_WIN32_OWN_PROCESS);
    ASSERT_EQ(world.reports().size(), 4u);
    EXPECT_TRUE(world.faults().empty());
}

TEST_F(registered_service, stopped_after_running_keeps_running_controls_and_zero_hint)
{
    report_start_pending();
    report_running();
    report_stopped();
    EXPECT_EQ(last().dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(last().dwControlsAccepted, 0x181u);
    EXPECT_EQ(last().dwWaitHint, 0u);
    EXPECT_EQ(last().dwWin32ExitCode, 0u);
}

TEST_F(registered_service, stopped_with_error_carries_the_code_and_keeps_the_rest)
{
    report_start_pending();
    report_stopped_with_error(ERROR_ACCESS_DENIED);
    EXPECT_EQ(last().dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(last().dwWin32ExitCode, ERROR_ACCESS_DENIED);
    EXPECT_EQ(last().dwControlsAccepted, 0u);
    EXPECT_EQ(last().dwServiceSpecificExitCode, 0u);
    EXPECT_EQ(last().dwServiceType, SERVICE_WIN32_OWN_PROCESS);
}

TEST_F(registered_service, stop_and_preshutdown_report_stop_pending_before_signalling)
{
    for (DWORD control : {SERVICE_CONTROL_STOP, SERVICE_CONTROL_PRESHUTDOWN}) {
        SCOPED_TRACE(control);
        report_start_pending();
        report_running();
        os->CreateEventA(nullptr, TRUE, FALSE, nullptr); // keeps labels distinct per round
        HANDLE stop_event = os->CreateEventA(nullptr, TRUE, FALSE, nullptr);
        the_service.stop_event = stop_event;
        const std::size_t log_before = world.call_log().size();
        const std::size_t reports_before = world.reports().size();

        EXPECT_EQ(service_control_handler(control, 0, nullptr, nullptr), NO_ERROR);

        ASSERT_EQ(world.reports().size(), reports_before + 1) << "exactly one report";
        EXPECT_EQ(last().dwCurrentState, SERVICE_STOP_PENDING);
        EXPECT_EQ(last().dwControlsAccepted, 0u);
        EXPECT_EQ(last().dwWaitHint, 30000u);
        EXPECT_TRUE(world.event_signalled(stop_event));
        EXPECT_FALSE(world.event_signalled(the_service.session_event));
        std::vector<std::string> tail(world.call_log().begin() + static_cast<long>(log_before), world.call_log().end());
        ASSERT_EQ(tail.size(), 2u);
        EXPECT_NE(tail[0].find("SetServiceStatus(state=3"), std::string::npos) << tail[0];
        EXPECT_NE(tail[1].find("SetEvent(" + world.label_of(stop_event) + ")"), std::string::npos) << tail[1];
    }
}

TEST_F(registered_service, session_change_signals_only_on_console_connect)
{
    report_start_pending();
    report_running();
    const std::size_t reports_before = world.reports().size();
    // An array, not a braced list: <windows.h> defines the named codes as int, so a list of them and unsigned
    // literals has no single type there.
    const DWORD event_types[] = {WTS_CONSOLE_DISCONNECT, 3, 4, WTS_SESSION_LOGON, 6, WTS_SESSION_LOCK, 8, 9};
    for (DWORD event_type : event_types) {
        EXPECT_EQ(service_control_handler(SERVICE_CONTROL_SESSIONCHANGE, event_type, nullptr, nullptr), NO_ERROR);
        EXPECT_FALSE(world.event_signalled(the_service.session_event)) << "event type " << event_type;
    }
    EXPECT_FALSE(world.event_signalled(the_service.stop_event));
    EXPECT_EQ(service_control_handler(SERVICE_CONTROL_SESSIONCHANGE, WTS_CONSOLE_CONNECT, nullptr, nullptr), NO_ERROR);
    EXPECT_TRUE(world.event_signalled(the_service.session_event));
    EXPECT_FALSE(world.event_signalled(the_service.stop_event));
    EXPECT_EQ(world.reports().size(), reports_before) << "session changes make no report";
}

TEST_F(registered_service, interrogate_and_unknown_controls_change_nothing)
{
    report_start_pending();
    report_running();
    const std::size_t reports_before = world.reports().size();
    EXPECT_EQ(service_control_handler(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr), NO_ERROR);
    const DWORD controls[] = {SERVICE_CONTROL_PAUSE,
                              SERVICE_CONTROL_CONTINUE,
                              SERVICE_CONTROL_SHUTDOWN,
                              SERVICE_CONTROL_PARAMCHANGE,
                              0,
                              128,
                              255};
    for (DWORD control : controls) {
        EXPECT_EQ(service_control_handler(control, WTS_CONSOLE_CONNECT, nullptr, nullptr), ERROR_CALL_NOT_IMPLEMENTED)
            << "control " << control;
    }
    EXPECT_EQ(world.reports().size(), reports_before) << "no report for interrogate or refused controls";
    EXPECT_EQ(last().dwCurrentState, SERVICE_RUNNING);
    EXPECT_FALSE(world.event_signalled(the_service.stop_event));
    EXPECT_FALSE(world.event_signalled(the_service.session_event));
}

TEST_F(registered_service, a_stop_after_the_stopped_report_sends_nothing)
{
    // The companion's stop request ended the service; a stop control already in flight must not
    // tell the manager "stop pending" after it has been told "stopped".
    report_start_pending();
    report_running();
    report_stopped();
    const std::size_t reports_before = world.reports().size();
    EXPECT_EQ(service_control_handler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr), NO_ERROR);
    EXPECT_EQ(world.reports().size(), reports_before);
    EXPECT_EQ(last().dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(last().dwControlsAccepted, 0x181u);
}

TEST_F(registered_service, a_stop_the_loop_cannot_be_told_of_is_taken_back_so_it_can_be_retried)
{
    report_start_pending();
    report_running();
    for (DWORD error : {ERROR_INVALID_HANDLE, NO_ERROR}) {
        SCOPED_TRACE(error);
        the_service.stop_event = os->CreateEventA(nullptr, TRUE, FALSE, nullptr);
        world.fail("SetEvent", static_cast<unsigned>(world.calls("SetEvent") + 1), error);

        EXPECT_EQ(service_control_handler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr),
                  error != NO_ERROR ? error : ERROR_GEN_FAILURE)
            << "the control fails, never with 0";
        EXPECT_FALSE(world.event_signalled(the_service.stop_event));
        const std::vector<sim::status_report>& reports = world.reports();
        ASSERT_GE(reports.size(), 2u);
        EXPECT_EQ(reports[reports.size() - 2].status.dwCurrentState, SERVICE_STOP_PENDING);
        EXPECT_EQ(last().dwCurrentState, SERVICE_RUNNING);
        EXPECT_EQ(last().dwControlsAccepted, 0x181u) << "the manager may send the stop again";
        EXPECT_EQ(last().dwWaitHint, 0u);

        EXPECT_EQ(service_control_handler(SERVICE_CONTROL_PRESHUTDOWN, 0, nullptr, nullptr), NO_ERROR);
        EXPECT_EQ(last().dwCurrentState, SERVICE_STOP_PENDING);
        EXPECT_TRUE(world.event_signalled(the_service.stop_event));
        report_running();
    }
    // A stopped report made meanwhile is never taken back.
    report_stopped();
    const std::size_t reports_before = world.reports().size();
    report_stop_refused();
    EXPECT_EQ(world.reports().size(), reports_before);
    EXPECT_EQ(last().dwCurrentState, SERVICE_STOPPED);
}

// Real threads: the handler's stop against the loop's stopped report, many times over.
TEST(guarded_status_record, racing_stop_and_stopped_reports_are_never_torn_or_reordered)
{
    constexpr int rounds = 500;
    for (int round = 0; round < rounds; ++round) {
        sim::world world;
        world.status_report_latency = std::chrono::microseconds(50);
        the_service = {};
        the_service.status_handle =
            os->RegisterServiceCtrlHandlerExA("OrvaneService", service_control_handler, nullptr);
        the_service.stop_event = os->CreateEventA(nullptr, TRUE, FALSE, nullptr);
        the_service.session_event = os->CreateEventA(nullptr, FALSE, FALSE, nullptr);
        report_start_pending();
        report_running();

        std::atomic<bool> ready{false};
        std::atomic<bool> go{false};
        std::thread dispatcher([&] {
            ready.store(true);
            while (!go.load()) {
            }
            service_control_handler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
        });
        while (!ready.load()) {
        }
        go.store(true);
        report_stopped();
        dispatcher.join();

        ASSERT_TRUE(world.faults().empty()) << world.faults().front();
        const auto& reports = world.reports();
        ASSERT_GE(reports.size(), 3u);
        ASSERT_LE(reports.size(), 4u);
        EXPECT_EQ(reports.back().status.dwCurrentState, SERVICE_STOPPED) << "round " << round;
        for (const sim::status_report& report : reports) {
            if (report.status.dwCurrentState == SERVICE_STOP_PENDING) {
                ASSERT_EQ(report.status.dwControlsAccepted, 0u);
                ASSERT_EQ(report.status.dwWaitHint, 30000u);
            }
        }
    }
}

TEST(status_layouts, match_the_windows_records)
{
    EXPECT_EQ(sizeof(STARTUPINFOW), 104u);
    EXPECT_EQ(sizeof(STARTUPINFOEXW), 112u);
    EXPECT_EQ(sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION), 144u);
    EXPECT_EQ(sizeof(SECURITY_ATTRIBUTES), 24u);
    EXPECT_EQ(sizeof(SERVICE_STATUS), 28u);
    EXPECT_EQ(offsetof(STARTUPINFOW, lpDesktop), 16u);
    EXPECT_EQ(offsetof(STARTUPINFOW, dwFlags), 60u);
    EXPECT_EQ(offsetof(STARTUPINFOW, hStdInput), 80u);
    EXPECT_EQ(offsetof(STARTUPINFOEXW, lpAttributeList), 104u);
    EXPECT_EQ(offsetof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION, BasicLimitInformation.LimitFlags), 16u);
    EXPECT_EQ(offsetof(SECURITY_ATTRIBUTES, bInheritHandle), 16u);
    EXPECT_EQ(offsetof(SERVICE_STATUS, dwWaitHint), 24u);
}

// The simulator must itself catch the faults every other test relies on it to catch.
TEST(simulated_windows, reports_a_leak_a_double_close_and_an_unknown_handle)
{
    sim::world world;
    HANDLE kept = os->CreateJobObjectW(nullptr, nullptr);
    HANDLE closed_twice = os->CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_NE(os->CloseHandle(closed_twice), FALSE);
    EXPECT_EQ(os->CloseHandle(closed_twice), FALSE);
    EXPECT_EQ(os->GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(os->CloseHandle(reinterpret_cast<HANDLE>(0xdead0)), FALSE);

    EXPECT_EQ(world.live(), std::vector<std::string>{"job (CreateJobObjectW)"}) << "the job leaks";
    const std::vector<std::string> faults = world.take_faults();
    ASSERT_EQ(faults.size(), 2u);
    EXPECT_NE(faults[0].find("already closed"), std::string::npos);
    EXPECT_NE(faults[1].find("unknown handle"), std::string::npos);
    os->CloseHandle(kept);
    EXPECT_TRUE(world.live().empty());
}

TEST(simulated_windows, injects_faults_by_operation_and_by_call_number)
{
    sim::world world;
    world.fail("CreateEventA", 2, ERROR_ACCESS_DENIED);
    HANDLE first = os->CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(os->CreateEventA(nullptr, TRUE, FALSE, nullptr), nullptr);
    EXPECT_EQ(os->GetLastError(), ERROR_ACCESS_DENIED);

    world.fail_call_number(world.calls() + 1, 0); // a failure that leaves the error code at 0
    os->SetLastError(99);                         // cannot fail: the count moves on
    EXPECT_NE(os->CreateJobObjectW(nullptr, nullptr), nullptr) << "the injected call was SetLastError";

    world.fail_call_number(world.calls() + 1, 0);
    EXPECT_EQ(os->CreateJobObjectW(nullptr, nullptr), nullptr);
    EXPECT_EQ(os->GetLastError(), 0u);

    world.fail("HeapAlloc", 1, ERROR_NOT_ENOUGH_MEMORY);
    os->SetLastError(77);
    EXPECT_EQ(os->HeapAlloc(os->GetProcessHeap(), 0, 16), nullptr);
    EXPECT_EQ(os->GetLastError(), 77u) << "HeapAlloc leaves the error code alone, as on Windows";
}

TEST(simulated_windows, a_wait_that_could_never_end_aborts_instead_of_hanging)
{
    sim::world world;
    HANDLE never = os->CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_THROW(os->WaitForSingleObject(never, INFINITE), sim::scenario_aborted);
    EXPECT_EQ(world.take_faults().size(), 1u);

    world.at(5000).run([never] { os->SetEvent(never); });
    EXPECT_EQ(os->WaitForSingleObject(never, 3000), WAIT_TIMEOUT);
    EXPECT_EQ(world.now(), 3000u);
    EXPECT_EQ(os->WaitForSingleObject(never, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(world.now(), 5000u);
    os->CloseHandle(never);
}

} // namespace
