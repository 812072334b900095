// The service routine: bring the service up and keep the companion running in the console session.
#pragma once

#include "platform/platform_ops.h"

constexpr DWORD poll_interval_ms = 3000;
constexpr DWORD no_console_session = 0xFFFFFFFF;
constexpr DWORD stop_request_exit_code = ERROR_SHUTDOWN_IN_PROGRESS;
constexpr DWORD grace_period_ms = 20000;
constexpr DWORD companion_creation_flags = CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT;
constexpr DWORD failed_waits_limit = 3;

extern const char service_name[];
extern const WCHAR companion_application_name[];

void WINAPI service_main(DWORD argc, LPSTR* argv);
