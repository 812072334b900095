// Every platform call of four reference runs is made to fail in turn, and no run may break a run property.
#include "host/service_state.h"
#include "sim/run_properties.h"
#include "sim/sim_windows.h"
#include "supervisor/launch_environment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <string>

namespace {

constexpr std::size_t log_tail_lines = 30;
constexpr std::size_t failures_shown_max = 8;
constexpr std::uint64_t run_calls_max = 5000;
// A stop long after every reference run has ended: the operator trying again after a fault made the
// first stop fail, or after an unreadable exit code turned a self-stop into a relaunch. A run that has
// ended by then never sees it.
constexpr sim::virtual_ms retried_stop_at_ms = 120000;
// Access denied stands for any error code; 0 is a failure that leaves no error code to read.
constexpr DWORD injected_errors[] = {ERROR_ACCESS_DENIED, NO_ERROR};

struct reference_run {
    const char* name;
    std::size_t companions_when_clean;
    void (*script)(sim::world& world);
};

const reference_run reference_runs[] = {
    // On a system with GetTempPath2W, so that its lookup and call are swept as well.
    {"startup_then_stop", 0,
     [](sim::world& world) {
         world.private_temp_path = WIDE("C:\\Windows\\SystemTemp\\");
         world.at(1000).stop();
     }},
    // The first companion's output takes the log past its cap, so the relaunch sets the log aside.
    {"launch_relaunch_session_switch_stop", 3,
     [](sim::world& world) {
         sim::program_behaviour past_the_cap = sim::exits_after(2000, 3);
         past_the_cap.output_bytes = log_rotation_threshold_bytes;
         world.next_companions({past_the_cap, sim::ends_on_ctrl_c_after(500, 0)});
         world.at(12000).console_connect(2);
         world.at(25000).stop();
     }},
    {"self_stop_with_1115", 1,
     [](sim::world& world) { world.next_companions({sim::exits_after(2000, ERROR_SHUTDOWN_IN_PROGRESS)}); }},
    {"stop_during_a_session_switch_grace_period", 1,
     [](sim::world& world) {
         world.next_companions({sim::ignores_ctrl_c()});
         world.at(10000).console_connect(2);
         world.at(15000).stop();
     }},
};

void PrintTo(const reference_run& reference, std::ostream* out)
{
    *out << reference.name;
}

struct swept_run {
    std::vector<std::string> broken;
    std::uint64_t calls = 0;
    std::size_t companions = 0;
    std::size_t busiest = 0;
    bool injected = false;
    std::string operation; // of the call made to fail
    std::string log_tail;
};

// One whole run of `reference`, with platform call number `failing_call` (0: none) failing with `error`.
swept_run run_reference(const reference_run& reference, std::uint64_t failing_call, DWORD error)
{
    sim::world world;
    the_service = {};
    world.console_session(1);
    world.max_calls = run_calls_max;
    reference.script(world);
    world.at(retried_stop_at_ms).stop();
    if (failing_call != 0) {
        world.fail_call_number(failing_call, error);
    }
    world.run_service();

    swept_run result;
    result.broken = sim::broken_run_properties(world, {.single_fault = true});
    result.calls = world.calls();
    result.companions = world.companions().size();
    result.busiest = sim::busiest_window_calls(world);
    const std::string marker = "fails (call #" + std::to_string(failing_call) + ")";
    for (const std::string& line : world.call_log()) {
        result.injected = result.injected || line.find(marker) != std::string::npos;
    }
    if (failing_call != 0 && failing_call <= world.call_records().size()) {
        result.operation = *world.call_records()[failing_call - 1].operation;
    }
    result.log_tail = sim::call_log_tail(world, log_tail_lines);
    return result;
}

std::string lines(const std::vector<std::string>& items)
{
    std::string text;
    for (const std::string& item : items) {
        text += "  " + item + "\n";
    }
    return text;
}

struct fault_sweep : ::testing::TestWithParam<reference_run> {};

TEST_P(fault_sweep, no_single_failing_call_breaks_a_run_property)
{
    const reference_run& reference = GetParam();
    const swept_run clean = run_reference(reference, 0, NO_ERROR);
    ASSERT_TRUE(clean.broken.empty()) << "the clean run already breaks:\n" << lines(clean.broken) << clean.log_tail;
    ASSERT_EQ(clean.companions, reference.companions_when_clean) << "the reference run is not the one described";

    std::size_t injection_points = 0;
    std::size_t failing_runs = 0;
    std::size_t busiest = clean.busiest;
    for (std::uint64_t call = 1; call <= clean.calls; ++call) {
        for (DWORD error : injected_errors) {
            const swept_run run = run_reference(reference, call, error);
            injection_points += run.injected ? 1 : 0;
            busiest = std::max(busiest, run.busiest);
            if (run.broken.empty()) {
                continue;
            }
            if (++failing_runs <= failures_shown_max) {
                ADD_FAILURE() << reference.name << ": call #" << call << " (" << run.operation << ") failing with "
                              << error << " breaks:\n"
                              << lines(run.broken) << "call log tail:\n"
                              << run.log_tail;
            }
        }
    }
    std::printf("fault sweep %s: %llu platform calls, %zu injection points (calls that can fail, x%zu error "
                "codes); busiest %llu ms: %zu calls\n",
                reference.name, static_cast<unsigned long long>(clean.calls), injection_points,
                std::size(injected_errors), static_cast<unsigned long long>(sim::busy_window_ms), busiest);
    RecordProperty("platform_calls", static_cast<int>(clean.calls));
    RecordProperty("injection_points", static_cast<int>(injection_points));
    EXPECT_GT(injection_points, clean.calls) << "most calls can fail, each with two error codes";
    EXPECT_EQ(failing_runs, 0u) << "runs breaking a property (the first " << failures_shown_max << " shown above)";
}

INSTANTIATE_TEST_SUITE_P(reference_runs, fault_sweep, ::testing::ValuesIn(reference_runs),
                         [](const ::testing::TestParamInfo<reference_run>& run) { return run.param.name; });

} // namespace
