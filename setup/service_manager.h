// What the installer's commands and the package's actions share about the service manager: the name,
// handles, state names, a registration marked for deletion, and the program a registration names.
#pragma once

#include "setup/install_judgement.h"

#include <windows.h>

#include <string>

inline const wchar_t* const service_name = L"OrvaneService";

// The documented upper bound of what QueryServiceConfigW and QueryServiceConfig2W return.
constexpr DWORD config_buffer_bytes = 8192;

// Nulled once closed, so no release path can close it twice.
void close_service_handle(SC_HANDLE* handle);

// The service manager with the given rights, or null with the failure told and left in `result`.
SC_HANDLE open_service_manager(DWORD access, DWORD* result);

const wchar_t* state_name(DWORD state);

// "RUNNING (4)".
std::wstring state_text(DWORD state);

// The manager refuses even a change of nothing with 1072 for a service marked for deletion: the one way to
// ask whether it is. Needs SERVICE_CHANGE_CONFIG.
DWORD probe_marked_for_deletion(SC_HANDLE service, bool& marked);

// The service's process id while it runs, 0 once stopped, unknown_process_id when its state cannot be read.
DWORD running_process_id(SC_HANDLE service);

// Says what a service marked for deletion means where it was met; returns its exit code (0 or the failure told).
DWORD report_marked(marked_case where, DWORD process_id);

// The program the registration starts, from its command line. Needs SERVICE_QUERY_CONFIG; returns the error.
DWORD registered_program(SC_HANDLE service, std::wstring& program);

// Whether a registered program is the one at `path`, as named or as its final path, compared as Windows
// compares file names (ordinal, case-insensitive).
bool is_same_program(const std::wstring& registered, const std::wstring& path);

// Whether an open registration (SERVICE_QUERY_CONFIG) names the program at `path`; another program's is told
// and left as it is, a failed read told and left in `result`.
bool is_own_registration(SC_HANDLE service, const std::wstring& path, DWORD* result);
