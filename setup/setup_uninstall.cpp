// The uninstall command: OrvaneService stopped gracefully and its registration deleted, by hand or by the package.
#include "setup/setup_uninstall.h"

#include "setup/service_manager.h"
#include "setup/setup_output.h"

namespace {

constexpr DWORD stop_progress_interval_ms = 5000;

// The manager removes a deleted service when the last handle to it closes; a reopen right after our own
// close may still find it for a moment, so uninstall looks again for this long before it says "marked".
constexpr DWORD removal_settle_ms = 1000;

} // namespace

DWORD report_removal(SC_HANDLE manager, const wchar_t* gone_line)
{
    SC_HANDLE service = nullptr;
    DWORD result = ERROR_SUCCESS;
    bool marked = false;
    const ULONGLONG started_ms = GetTickCount64();

    for (;;) {
        service = OpenServiceW(manager, service_name, SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG);
        DWORD error = service == nullptr ? GetLastError() : probe_marked_for_deletion(service, marked);
        close_service_handle(&service);
        // Some releases may refuse the open itself of a service marked for deletion.
        if (error == ERROR_SERVICE_MARKED_FOR_DELETE) {
            error = ERROR_SUCCESS;
            marked = true;
        }
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            say(gone_line);
            break;
        }
        if (error != ERROR_SUCCESS) {
            result = report_failure(L"looking whether OrvaneService is gone", error);
            break;
        }
        if (!marked) {
            result = report_failure(L"OrvaneService is still registered after its deletion", fallback_error);
            break;
        }
        if (GetTickCount64() - started_ms >= removal_settle_ms) {
            result = report_marked(marked_case::uninstall_marked_it, 0);
            break;
        }
        Sleep(stop_poll_interval_ms);
    }
    return result;
}

DWORD stop_and_wait(SC_HANDLE service, uninstall_caller caller)
{
    SERVICE_STATUS_PROCESS status = {};
    SERVICE_STATUS control_status = {};
    DWORD needed = 0;
    bool stop_sent = false;
    const ULONGLONG started_ms = GetTickCount64();
    ULONGLONG next_progress_ms = started_ms + stop_progress_interval_ms;

    for (;;) {
        if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof status,
                                  &needed)) {
            return report_last_error(L"querying the state of OrvaneService");
        }
        if (status.dwCurrentState == SERVICE_STOPPED) {
            say(L"OrvaneService is stopped");
            return ERROR_SUCCESS;
        }
        if (!stop_sent && status.dwCurrentState == SERVICE_STOP_PENDING) {
            say(L"OrvaneService is already stopping");
            stop_sent = true;
        }
        if (!stop_sent) {
            if (ControlService(service, SERVICE_CONTROL_STOP, &control_status)) {
                say(L"stopping OrvaneService; it gives the companion up to 20 s to end after Ctrl-C");
                stop_sent = true;
            } else {
                const DWORD error = GetLastError();
                // A service still starting cannot take the stop yet, and one that just stopped needs none.
                if (error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL && error != ERROR_SERVICE_NOT_ACTIVE) {
                    return report_failure(L"stopping OrvaneService", error);
                }
            }
        }
        const ULONGLONG now_ms = GetTickCount64();
        if (now_ms - started_ms >= stop_wait_ms) {
            say(L"OrvaneService did not stop within " + std::to_wstring(stop_wait_ms / 1000) + L" s (state " +
                state_text(status.dwCurrentState) + L", process id " + std::to_wstring(status.dwProcessId) + L")");
            // The package's step fails instead, so that its rollback finds the service registered and running.
            if (caller == uninstall_caller::package) {
                return report_failure(L"OrvaneService is still running; it stays registered",
                                      ERROR_SERVICE_REQUEST_TIMEOUT);
            }
            if (!DeleteService(service)) {
                report_last_error(L"marking OrvaneService for deletion; it stays registered");
                return report_failure(L"uninstall not finished", ERROR_SERVICE_REQUEST_TIMEOUT);
            }
            return report_marked(marked_case::stop_timed_out, status.dwProcessId);
        }
        if (now_ms >= next_progress_ms) {
            say(L"waiting for OrvaneService to stop: " + state_text(status.dwCurrentState) + L" after " +
                std::to_wstring((now_ms - started_ms) / 1000) + L" s of " + std::to_wstring(stop_wait_ms / 1000) +
                L" s");
            next_progress_ms += stop_progress_interval_ms;
        }
        Sleep(stop_poll_interval_ms);
    }
}

DWORD uninstall_service(uninstall_caller caller, const std::wstring& service_path)
{
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    DWORD result = ERROR_SUCCESS;
    const marked_case met =
        caller == uninstall_caller::by_hand ? marked_case::uninstall_met_it : marked_case::removal_met_it;

    manager = open_service_manager(SC_MANAGER_CONNECT, &result);
    if (result == ERROR_SUCCESS) {
        service =
            OpenServiceW(manager, service_name,
                         SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG | DELETE);
        if (service == nullptr) {
            const DWORD error = GetLastError();
            if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
                say(L"OrvaneService is not registered; nothing to remove");
            } else if (error == ERROR_SERVICE_MARKED_FOR_DELETE) {
                result = report_marked(met, unknown_process_id);
            } else {
                result = report_failure(L"opening OrvaneService", error);
            }
        }
    }
    if (service != nullptr) {
        bool marked = false;
        result = probe_marked_for_deletion(service, marked);
        if (result != ERROR_SUCCESS) {
            result = report_failure(L"looking at the registration of OrvaneService", result);
        } else if (marked) {
            result = report_marked(met, running_process_id(service));
        } else if (caller == uninstall_caller::package && !is_own_registration(service, service_path, &result)) {
            // Registered by hand for a program elsewhere: not the package's to delete (told, result kept).
        } else {
            result = stop_and_wait(service, caller);
            if (result == ERROR_SUCCESS) {
                if (DeleteService(service)) {
                    // Deleting only marks the service while any handle to it is open, our own included.
                    close_service_handle(&service);
                    result = report_removal(manager, L"removed OrvaneService");
                } else if (caller == uninstall_caller::by_hand) {
                    result = report_last_error(L"removing OrvaneService; it stays registered and stopped: start it "
                                               L"again with \"sc start OrvaneService\"");
                } else {
                    // The package's rollback starts it again where it was running.
                    result = report_last_error(L"removing OrvaneService; it stays registered and stopped");
                }
            }
        }
    }
    close_service_handle(&service);
    close_service_handle(&manager);
    return result;
}
