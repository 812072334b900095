// The process entry: mode selection, process-id reading, path cutting, and both modes on the simulated Windows.
#include "host/entry.h"
#include "host/service_state.h"
#include "sim/sim_windows.h"

#include <gtest/gtest.h>

#include <string>

namespace {

entry_mode mode_of(std::initializer_list<const char*> arguments)
{
    return select_entry_mode(static_cast<int>(arguments.size()), arguments.begin());
}

TEST(entry_mode_selection, interrupt_only_for_exactly_the_switch_and_one_id)
{
    EXPECT_EQ(mode_of({"svc.exe", "--terminate", "512"}), entry_mode::interrupt);
    // Even an unreadable id selects the interrupt mode: the id is read, not validated.
    EXPECT_EQ(mode_of({"svc.exe", "--terminate", ""}), entry_mode::interrupt);

    EXPECT_EQ(mode_of({"svc.exe"}), entry_mode::service);
    EXPECT_EQ(mode_of({"svc.exe", "--terminate"}), entry_mode::service);
    EXPECT_EQ(mode_of({"svc.exe", "--terminate", "512", "extra"}), entry_mode::service);
    EXPECT_EQ(mode_of({"svc.exe", "--Terminate", "512"}), entry_mode::service);
    EXPECT_EQ(mode_of({"svc.exe", "--terminate ", "512"}), entry_mode::service);
    EXPECT_EQ(mode_of({"svc.exe", "--terminat", "512"}), entry_mode::service);
    EXPECT_EQ(mode_of({"svc.exe", "512", "--terminate"}), entry_mode::service);
}

TEST(process_id_argument, is_read_like_atol)
{
    EXPECT_EQ(parse_process_id("512"), 512u);
    EXPECT_EQ(parse_process_id("12abc"), 12u);
    EXPECT_EQ(parse_process_id("abc"), 0u);
    EXPECT_EQ(parse_process_id(""), 0u);
    EXPECT_EQ(parse_process_id("-1"), 0xFFFFFFFFu);
    EXPECT_EQ(parse_process_id("+5"), 5u);
    EXPECT_EQ(parse_process_id(" \t\n\v\f\r42"), 42u);
    EXPECT_EQ(parse_process_id("007"), 7u);
    // A sign must be followed directly by digits, and only one sign is taken.
    EXPECT_EQ(parse_process_id("- 5"), 0u);
    EXPECT_EQ(parse_process_id("+-5"), 0u);
    EXPECT_EQ(parse_process_id("-"), 0u);
    // White space after the sign or inside the number ends it.
    EXPECT_EQ(parse_process_id("1 2"), 1u);
}

TEST(process_id_argument, clamps_outside_the_signed_range_as_the_windows_runtime_does)
{
    EXPECT_EQ(parse_process_id("2147483647"), 0x7FFFFFFFu);
    EXPECT_EQ(parse_process_id("2147483648"), 0x7FFFFFFFu);
    EXPECT_EQ(parse_process_id("99999999999"), 0x7FFFFFFFu);
    EXPECT_EQ(parse_process_id("4294967295"), 0x7FFFFFFFu);
    EXPECT_EQ(parse_process_id("-2147483648"), 0x80000000u);
    EXPECT_EQ(parse_process_id("-2147483649"), 0x80000000u);
    EXPECT_EQ(parse_process_id("-99999999999"), 0x80000000u);
    // Far beyond any 64-bit value as well: saturation, never wrap-around.
    EXPECT_EQ(parse_process_id("123456789012345678901234567890"), 0x7FFFFFFFu);
    EXPECT_EQ(parse_process_id("-123456789012345678901234567890"), 0x80000000u);
}

wide_string cut(const WCHAR* path, int passes)
{
    WCHAR buffer[MAX_PATH] = {};
    for (DWORD index = 0; path[index] != 0; ++index) {
        buffer[index] = path[index];
    }
    for (int pass = 0; pass < passes; ++pass) {
        cut_at_last_backslash(buffer);
    }
    return buffer;
}

TEST(path_cut, each_pass_drops_the_last_component)
{
    EXPECT_EQ(cut(WIDE("C:\\A\\B\\svc\\x.exe"), 1), WIDE("C:\\A\\B\\svc"));
    EXPECT_EQ(cut(WIDE("C:\\A\\B\\svc\\x.exe"), 2), WIDE("C:\\A\\B"));
    EXPECT_EQ(cut(WIDE("C:\\x.exe"), 1), WIDE("C:"));
    EXPECT_EQ(cut(WIDE("C:\\x.exe"), 2), WIDE("C:"));
    EXPECT_EQ(cut(WIDE("x.exe"), 2), WIDE("x.exe"));
    EXPECT_EQ(cut(WIDE(""), 1), WIDE(""));
    // A trailing backslash is the last one: the first pass removes only it.
    EXPECT_EQ(cut(WIDE("C:\\A\\"), 1), WIDE("C:\\A"));
}

void expect_nothing_left(const sim::world& run)
{
    EXPECT_TRUE(run.live().empty());
    EXPECT_TRUE(run.faults().empty()) << (run.faults().empty() ? "" : run.faults().front());
}

TEST(entry_runs, service_mode_works_from_the_parent_directory_and_exits_with_the_dispatcher_result)
{
    {
        sim::world run;
        the_service = {};
        run.at(5000).stop();
        EXPECT_EQ(run.run_service(), 0) << "a normal run exits 0, not with the dispatcher's TRUE";
        EXPECT_EQ(run.cwd(), WIDE("C:\\Orvane"));
        EXPECT_EQ(run.reports().back().status.dwCurrentState, SERVICE_STOPPED);
        EXPECT_EQ(run.live(), sim::world::run_long());
        EXPECT_TRUE(run.faults().empty());
    }
    {
        // From a command prompt the dispatcher fails; the directory was changed all the same. Its error
        // is the exit status: the dispatcher's own 0 would read as success.
        sim::world run;
        the_service = {};
        run.started_by_service_manager = false;
        EXPECT_EQ(run.run_service(), static_cast<int>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT));
        EXPECT_EQ(run.cwd(), WIDE("C:\\Orvane"));
        EXPECT_TRUE(run.reports().empty());
        expect_nothing_left(run);
    }
    {
        // A dispatcher failure that left no error code still must not exit 0.
        sim::world run;
        the_service = {};
        run.fail("StartServiceCtrlDispatcherA", 1, NO_ERROR);
        EXPECT_EQ(run.run_service(), static_cast<int>(ERROR_GEN_FAILURE));
        expect_nothing_left(run);
    }
    {
        sim::world run;
        the_service = {};
        run.started_by_service_manager = false;
        run.executable_path = WIDE("C:\\OrvaneService.exe");
        run.run_service();
        EXPECT_EQ(run.cwd(), WIDE("C:"));
        expect_nothing_left(run);
    }
}

TEST(entry_runs, interrupt_mode_raises_ctrl_c_and_exits_with_its_result_alone)
{
    sim::world run;
    the_service = {};
    const DWORD target = run.start_console_process(sim::runs_until_ctrl_c());

    // Trailing text after the digits is ignored, as atol does.
    EXPECT_EQ(run.run_service({"--terminate", std::to_string(target) + "abc"}), 0);
    EXPECT_EQ(run.process(target)->ended, sim::end_reason::ctrl_c);
    EXPECT_EQ(run.cwd(), WIDE("C:\\Windows\\system32")) << "the working directory is not touched";
    EXPECT_EQ(run.calls("GetModuleFileNameW"), 0u);
    EXPECT_EQ(run.calls("StartServiceCtrlDispatcherA"), 0u);

    // A process that does not exist: the attach fails and its error code is the exit status.
    EXPECT_NE(run.run_service({"--terminate", "999999"}), 0);
    EXPECT_EQ(run.calls("StartServiceCtrlDispatcherA"), 0u);
    expect_nothing_left(run);
}

TEST(entry_runs, interrupt_mode_typed_at_a_prompt_leaves_the_prompt_console_for_the_target)
{
    // Run by hand, the process shares the prompt's console, and a second console cannot be attached to
    // while it has one: it must leave the prompt's first (if it cannot, the attach fails with 5).
    for (const auto& [free_console_fails, expected] : {std::pair{false, ERROR_SUCCESS}, {true, ERROR_ACCESS_DENIED}}) {
        SCOPED_TRACE(free_console_fails);
        sim::world run;
        the_service = {};
        const DWORD prompt = run.start_console_process(sim::runs_until_ctrl_c());
        const DWORD target = run.start_console_process(sim::runs_until_ctrl_c());
        run.processes[sim::service_pid].console = run.processes[prompt].console;
        if (free_console_fails) {
            run.fail("FreeConsole", 1, ERROR_INVALID_PARAMETER);
        }

        EXPECT_EQ(run.run_service({"--terminate", std::to_string(target)}), static_cast<int>(expected));
        EXPECT_EQ(run.process(target)->running(), expected != ERROR_SUCCESS);
        EXPECT_TRUE(run.process(prompt)->running()) << "no Ctrl-C on the prompt's own console";
        expect_nothing_left(run);
    }
}

} // namespace
