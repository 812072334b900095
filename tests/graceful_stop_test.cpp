// The graceful stop over the simulated Windows: the helper's launch, its bounded wait, and the interrupt mode.
#include "sim/sim_windows.h"
#include "stop/graceful_stop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

namespace {

using names = std::vector<std::string>;

// Index of the first log line containing `text`, or the log's size when there is none.
std::size_t first_line_with(const sim::world& world, const std::string& text)
{
    const auto& log = world.call_log();
    auto found = std::find_if(log.begin(), log.end(),
                              [&](const std::string& line) { return line.find(text) != std::string::npos; });
    return static_cast<std::size_t>(found - log.begin());
}

wide_string stop_line_for(const wide_string& executable, DWORD process_id)
{
    return WIDE("\"") + executable + WIDE("\" --terminate ") + sim::widen(std::to_string(process_id));
}

TEST(request_stop, helper_starts_detached_in_the_token_session_and_interrupts_the_companion)
{
    sim::world world;
    const DWORD companion = world.start_console_process(sim::runs_until_ctrl_c(), 2);
    HANDLE token = world.make_token(2);

    EXPECT_TRUE(request_stop(token, companion));

    ASSERT_EQ(world.helpers().size(), 1u);
    const sim::process_record& helper = *world.helpers()[0];
    EXPECT_EQ(helper.application, world.executable_path);
    EXPECT_EQ(helper.command_line, stop_line_for(world.executable_path, companion));
    EXPECT_EQ(helper.token_label, world.label_of(token));
    EXPECT_EQ(helper.session, 2u);
    EXPECT_EQ(helper.creation_flags, 0x408u);
    EXPECT_EQ(helper.inherit_handles, FALSE);
    EXPECT_TRUE(helper.inherited.empty());
    EXPECT_EQ(helper.startup_size, 104u);
    EXPECT_EQ(helper.startup_flags, 0u);
    EXPECT_EQ(helper.desktop, WIDE("winsta0\\default"));
    EXPECT_EQ(helper.std_input, nullptr);
    EXPECT_EQ(helper.std_output, nullptr);
    EXPECT_EQ(helper.std_error, nullptr);
    EXPECT_TRUE(helper.job_label.empty());
    // The helper raised Ctrl-C, received it too, ignored it, and ended by itself with 0.
    EXPECT_EQ(helper.ended, sim::end_reason::by_itself);
    EXPECT_EQ(helper.exit_code, 0u);
    EXPECT_TRUE(helper.ctrl_c_at.has_value());
    EXPECT_EQ(world.process(companion)->ended, sim::end_reason::ctrl_c);

    // Process handle first, then thread handle; nothing of the helper's left open.
    const std::size_t process_closed = first_line_with(world, "CloseHandle(process#");
    const std::size_t thread_closed = first_line_with(world, "CloseHandle(thread#");
    EXPECT_LT(process_closed, thread_closed);
    EXPECT_LT(thread_closed, world.call_log().size());
    EXPECT_EQ(world.calls("TerminateProcess"), 0u);
    EXPECT_EQ(world.live(), names{"token (make_token)"});
    EXPECT_TRUE(world.faults().empty()) << world.faults().front();
}

TEST(request_stop, executable_path_with_spaces_reaches_the_helper_whole)
{
    sim::world world;
    const wide_string spaced = WIDE("C:\\Program Files\\Orvane Tools\\svc\\Orvane Service.exe");
    world.executable_path = spaced;
    world.files.insert(spaced);
    const DWORD companion = world.start_console_process(sim::runs_until_ctrl_c(), 1);
    HANDLE token = world.make_token(1);

    EXPECT_TRUE(request_stop(token, companion));

    ASSERT_EQ(world.helpers().size(), 1u);
    EXPECT_EQ(world.helpers()[0]->argv, (names{sim::narrow(spaced), "--terminate", std::to_string(companion)}));
    EXPECT_EQ(world.process(companion)->ended, sim::end_reason::ctrl_c);
}

TEST(request_stop, every_failure_is_false_with_the_helper_handles_closed)
{
    struct scenario {
        const char* name;
        std::function<void(sim::world&)> arrange;
        bool helper_started;
        bool helper_terminated;
    };
    const std::vector<scenario> scenarios = {
        {"helper cannot start", [](sim::world& world) { world.fail("CreateProcessAsUserW", 1, ERROR_ACCESS_DENIED); },
         false, false},
        {"helper exits non-zero", [](sim::world& world) { world.helper_program = [](int, char**) { return 87; }; },
         true, false},
        {"exit code cannot be read",
         [](sim::world& world) { world.fail("GetExitCodeProcess", 1, ERROR_ACCESS_DENIED); }, true, false},
        {"helper hangs", [](sim::world& world) { world.helper_hangs = true; }, true, true},
        {"helper outlives the bound", [](sim::world& world) { world.helper_run_ms = 10001; }, true, true},
        {"wait fails", [](sim::world& world) { world.fail("WaitForSingleObject", 1, ERROR_INVALID_HANDLE); }, true,
         true},
    };
    for (const scenario& each : scenarios) {
        SCOPED_TRACE(each.name);
        sim::world world;
        const DWORD companion = world.start_console_process(sim::runs_until_ctrl_c(), 1);
        HANDLE token = world.make_token(1);
        each.arrange(world);

        EXPECT_FALSE(request_stop(token, companion));

        ASSERT_EQ(world.helpers().size(), each.helper_started ? 1u : 0u);
        if (each.helper_started) {
            const sim::process_record& helper = *world.helpers()[0];
            EXPECT_FALSE(helper.running()) << "no helper is left behind";
            if (each.helper_terminated) {
                EXPECT_EQ(helper.ended, sim::end_reason::terminated);
                EXPECT_EQ(helper.exit_code, 1067u);
                EXPECT_LE(world.now(), 10000u) << "the stop waits no longer than the bound";
            } else {
                EXPECT_EQ(world.calls("TerminateProcess"), 0u);
            }
        } else {
            EXPECT_EQ(world.calls("WaitForSingleObject"), 0u);
        }
        EXPECT_EQ(world.live(), names{"token (make_token)"});
        EXPECT_TRUE(world.faults().empty()) << world.faults().front();
    }
}

TEST(request_stop, helper_that_ends_within_the_bound_is_waited_for)
{
    sim::world world;
    world.helper_run_ms = 10000;
    const DWORD companion = world.start_console_process(sim::runs_until_ctrl_c(), 1);
    HANDLE token = world.make_token(1);

    EXPECT_TRUE(request_stop(token, companion));
    EXPECT_EQ(world.now(), 10000u);
    EXPECT_EQ(world.helpers()[0]->ended, sim::end_reason::by_itself);
    EXPECT_EQ(world.calls("TerminateProcess"), 0u);
}

TEST(request_stop, companion_already_gone_makes_the_helper_fail)
{
    sim::world world;
    const DWORD companion = world.start_console_process(sim::runs_until_ctrl_c(), 1);
    world.end_process(companion, 0, sim::end_reason::by_itself);
    HANDLE token = world.make_token(1);

    EXPECT_FALSE(request_stop(token, companion));
    ASSERT_EQ(world.helpers().size(), 1u);
    EXPECT_NE(world.helpers()[0]->exit_code, 0u);
    EXPECT_EQ(world.live(), names{"token (make_token)"});
}

TEST(send_console_interrupt, attaches_ignores_ctrl_c_then_raises_it_for_the_whole_console)
{
    sim::world world;
    const DWORD companion = world.start_console_process(sim::runs_until_ctrl_c(), 1);

    const DWORD status = world.run_as_detached_process([&] { return send_console_interrupt(companion); });

    EXPECT_EQ(status, 0u) << "the Ctrl-C it raised must not end the interrupt process itself";
    EXPECT_EQ(world.process(companion)->ended, sim::end_reason::ctrl_c);
    const std::size_t attached = first_line_with(world, "AttachConsole(" + std::to_string(companion) + ")");
    const std::size_t ignored = first_line_with(world, "SetConsoleCtrlHandler(null, 1)");
    const std::size_t raised = first_line_with(world, "GenerateConsoleCtrlEvent(0, 0)");
    EXPECT_LT(attached, ignored);
    EXPECT_LT(ignored, raised);
    EXPECT_LT(raised, world.call_log().size());
}

TEST(send_console_interrupt, returns_the_failing_call_error_and_never_zero_for_a_failure)
{
    struct scenario {
        const char* operation;
        DWORD injected;
        DWORD expected;
        bool raised;
    };
    const std::vector<scenario> scenarios = {
        {"AttachConsole", ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, false},
        {"AttachConsole", ERROR_SUCCESS, ERROR_GEN_FAILURE, false},
        {"GenerateConsoleCtrlEvent", ERROR_INVALID_HANDLE, ERROR_INVALID_HANDLE, true},
        {"GenerateConsoleCtrlEvent", ERROR_SUCCESS, ERROR_GEN_FAILURE, true},
    };
    for (const scenario& each : scenarios) {
        SCOPED_TRACE(std::string(each.operation) + " fails with " + std::to_string(each.injected));
        sim::world world;
        const DWORD companion = world.start_console_process(sim::runs_until_ctrl_c(), 1);
        world.fail(each.operation, 1, each.injected);

        EXPECT_EQ(world.run_as_detached_process([&] { return send_console_interrupt(companion); }), each.expected);
        EXPECT_EQ(world.calls("GenerateConsoleCtrlEvent"), each.raised ? 1u : 0u);
        EXPECT_TRUE(world.process(companion)->running());
    }
}

} // namespace
