// The properties every whole service run must keep whatever failed, checked once the run has ended.
#pragma once

#include "sim/sim_windows.h"

#include <cstddef>
#include <string>
#include <vector>

namespace sim {

// The busiest stretch a correct service has: its start-up (21 calls), then failed polls, each starting
// a cycle at once whose companion ends at once (about 20 calls each, 25 when the log is set aside), until
// the third failure ends the service. That stays under 75 calls in one instant (71 the most seen in
// 100,000 drawn runs; the clean reference runs peak at 22). A loop that stops blocking repeats at least
// a poll and a cycle without the clock moving and passes this bound within a few turns.
constexpr virtual_ms busy_window_ms = 1000;
constexpr std::size_t busy_window_calls_limit = 80;

struct run_expectations {
    // Only one fault was injected. One failed wait cannot end the service, so a service that got past
    // its start-up must then end with exit code 0.
    bool single_fault = false;
};

// Every broken property, one line each; empty when the run kept them all. The simulator's own
// faults are taken over (and listed), so the world's end does not report them a second time.
std::vector<std::string> broken_run_properties(world& run, const run_expectations& expected);

// The most platform calls made within any busy_window_ms of virtual time.
std::size_t busiest_window_calls(const world& run);

// The last `count` lines of the call log, each ending in a newline.
std::string call_log_tail(const world& run, std::size_t count);

} // namespace sim
