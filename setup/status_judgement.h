// Whether the companion runs where it should, judged from what `status` gathered; one exit code per verdict.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// WTSGetActiveConsoleSessionId's answer while no session owns the console (during a switch of users). Named
// apart from the service's own constant of that value, so a test can hold both headers.
constexpr std::uint32_t console_session_none = 0xFFFFFFFF;

// SERVICE_RUNNING as the service manager reports it.
constexpr std::uint32_t service_state_running = 4;

// The exit codes, each a Windows error code whose own text fits the verdict, so a monitoring script that
// prints the code's text says roughly the right thing. Documented in docs/monitoring.md: never change them.
constexpr std::uint32_t exit_healthy = 0;
constexpr std::uint32_t exit_not_registered = 1060;    // ERROR_SERVICE_DOES_NOT_EXIST
constexpr std::uint32_t exit_not_running = 1062;       // ERROR_SERVICE_NOT_ACTIVE: "has not been started"
constexpr std::uint32_t exit_no_companion = 1168;      // ERROR_NOT_FOUND: "Element not found"
constexpr std::uint32_t exit_several_companions = 183; // ERROR_ALREADY_EXISTS, the second-instance code
constexpr std::uint32_t exit_wrong_session = 7038;     // ERROR_CTX_NOT_CONSOLE: "only on the system console"
constexpr std::uint32_t exit_session_unreadable = 5;   // ERROR_ACCESS_DENIED: run status elevated
// ERROR_RETRY: "The operation could not be completed. A retry should be performed." No other verdict uses it,
// and none of the calls whose failure status exits with before a verdict documents it.
constexpr std::uint32_t exit_unknown = 1237;

// The longest a move of the companion to the console session takes: the interrupt helper's bound
// (interrupt_wait_limit_ms in stop/graceful_stop.h), then the companion's grace period after Ctrl-C
// (grace_period_ms) and the wait before the next launch (poll_interval_ms, both in supervisor/service_main.h).
// Those headers bring <windows.h> into the Windows build, which this plain library does without; a host row
// fails when the sum and theirs part.
constexpr std::uint32_t session_move_limit_ms = 10000 + 20000 + 3000;

// One Orvane.exe whose parent is the service's process.
struct companion_fact {
    std::uint32_t process_id;
    bool session_known; // false: ProcessIdToSessionId failed (a LocalSystem process, read without elevation)
    std::uint32_t session_id;
};

struct status_facts {
    bool registered;
    std::uint32_t service_state;
    // Non-zero: the service's state or its companions could not be read (the failing call's error);
    // `service_state` may then be stale and `companions` is empty.
    std::uint32_t listing_error;
    std::vector<companion_fact> companions;
    std::uint32_t console_session;
};

enum class status_verdict {
    healthy,
    not_registered,
    not_running,
    no_companion,
    several_companions,
    wrong_session,
    session_unreadable,
    unknown,
};

struct status_judgement {
    status_verdict verdict;
    std::uint32_t exit_code;
    std::string text; // the verdict line after "verdict: ", without the exit code
};

status_judgement judge_status(const status_facts& facts);
