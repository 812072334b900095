// The service routine: bring the service up and keep the companion running in the console session.
#pragma once

#include "platform/platform_ops.h"

constexpr DWORD poll_interval_ms = 3000;
constexpr DWORD no_console_session = 0xFFFFFFFF;
constexpr DWORD stop_request_exit_code = ERROR_SHUTDOWN_IN_PROGRESS;
constexpr DWORD grace_period_ms = 20000;
constexpr DWORD companion_creation_flags = CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT;
constexpr DWORD failed_waits_limit = 3;

// The watch waits on these three handles in this order; WaitForMultipleObjects reports the lowest
// signalled index, so a stop always wins over a companion end or a console change.
constexpr DWORD watch_stop_index = 0;
constexpr DWORD watch_companion_index = 1;
constexpr DWORD watch_session_index = 2;
constexpr DWORD watch_handle_count = 3;

extern const char service_name[];
extern const WCHAR companion_application_name[];

// What the loop does after one wake of the watch.
enum class watch_action {
    keep_watching,  // the console reconnected to the companion's own session
    release,        // the companion ended by itself: release and relaunch after the poll
    stop_service,   // the companion asked for the service to stop: signal stop_event, release
    stop_companion, // stop requested, console changed hands, or the wait failed: stop it, release
};

// Decides on one watch result. `exit_code_read` and `exit_code` matter only when the companion
// ended; `console_session` (freshly queried) only when a session connected to the console. Any
// result other than the three indexes is a failed wait and ends the cycle like a stop.
watch_action decide_watch_action(DWORD wait_result, bool exit_code_read, DWORD exit_code, DWORD console_session,
                                 DWORD cycle_session);

void WINAPI service_main(DWORD argc, LPSTR* argv);
