// The uninstall command: OrvaneService stopped gracefully and its registration deleted, by hand or by the package.
#pragma once

#include <windows.h>

#include <string>

// The service's graceful stop takes up to about 30 s (its stop-pending wait hint); 45 s leaves room for a
// loaded machine. Both the stop and a wait for a stopping service look this often.
constexpr DWORD stop_wait_ms = 45000;
constexpr DWORD stop_poll_interval_ms = 250;

// Who removes. By hand: whatever is registered as OrvaneService; a stop that does not finish in 45 s marks
// the service for deletion (1053), and one already marked is a failure (1072) until it is gone. The package:
// only a registration of the program at service_path (another is left as it is); a stop that does not finish
// fails (1053) without marking, so the rollback still finds the service; one already marked counts as removed.
enum class uninstall_caller { by_hand, package };

// service_path: the package's program; unused by hand.
DWORD uninstall_service(uninstall_caller caller, const std::wstring& service_path);

// Sends stop (again once a starting service can take it) and waits for stopped, saying so every 5 s. A service
// still running after 45 s is, by hand, marked for deletion, so that its failure actions do not restart it when
// its process is ended and the manager does not start it at the next boot. Needs SERVICE_STOP,
// SERVICE_QUERY_STATUS and, by hand, DELETE.
DWORD stop_and_wait(SC_HANDLE service, uninstall_caller caller);

// After DeleteService and the close of the caller's own handle: says gone_line once the manager has removed the
// service, or that it is only marked for deletion while another program holds it open (0 either way); returns
// the failure of the look, already told.
DWORD report_removal(SC_HANDLE manager, const wchar_t* gone_line);
