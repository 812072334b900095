// Both ends of the graceful stop: the service's request and the interrupt mode that raises Ctrl-C.
#pragma once

#include "platform/platform_ops.h"

constexpr DWORD interrupt_creation_flags = DETACHED_PROCESS | CREATE_UNICODE_ENVIRONMENT;
// The helper makes three calls that take milliseconds. With the companion's 20 s grace after it, a
// helper that hangs until this bound still lets the stop end within the 30 s its wait hint promises.
constexpr DWORD interrupt_wait_limit_ms = 10000;
constexpr DWORD forced_exit_code = ERROR_PROCESS_ABORTED;

// "\"<executable path>\" --terminate <process id>", the id in unsigned decimal.
wide_string build_stop_command_line(const WCHAR* executable_path, DWORD process_id);

// Starts the interrupt mode of this executable in the session of `token` against `process_id`.
// True only when that helper ran and exited with 0.
bool request_stop(HANDLE token, DWORD process_id);

// The interrupt mode: attach to the process's console and raise Ctrl-C there. 0 or an error code.
DWORD send_console_interrupt(DWORD process_id);
