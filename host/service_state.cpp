// Status reports and the control handler; the handler only reports and signals, the loop does the work.
#include "host/service_state.h"

service_state the_service = {};

namespace {

// Hands the whole record to the manager while the lock is held, so the record it sends is the one
// just written and reports reach the manager in the order they were made.
void send_status_locked()
{
    os->SetServiceStatus(the_service.status_handle, &the_service.status);
}

} // namespace

void report_start_pending()
{
    os->AcquireSRWLockExclusive(&the_service.status_lock);
    the_service.status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    the_service.status.dwCurrentState = SERVICE_START_PENDING;
    the_service.status.dwControlsAccepted = 0;
    the_service.status.dwWin32ExitCode = NO_ERROR;
    the_service.status.dwServiceSpecificExitCode = 0;
    the_service.status.dwCheckPoint = 0;
    the_service.status.dwWaitHint = 0;
    send_status_locked();
    os->ReleaseSRWLockExclusive(&the_service.status_lock);
}

void report_running()
{
    os->AcquireSRWLockExclusive(&the_service.status_lock);
    the_service.status.dwCurrentState = SERVICE_RUNNING;
    the_service.status.dwControlsAccepted = running_controls;
    send_status_locked();
    os->ReleaseSRWLockExclusive(&the_service.status_lock);
}

void report_stop_pending()
{
    os->AcquireSRWLockExclusive(&the_service.status_lock);
    // A stop control can race the loop's stopped report after the companion asked for a stop;
    // once the manager has been told "stopped", a later "stop pending" would resurrect the service.
    if (the_service.status.dwCurrentState != SERVICE_STOPPED) {
        the_service.status.dwCurrentState = SERVICE_STOP_PENDING;
        the_service.status.dwControlsAccepted = 0;
        the_service.status.dwWaitHint = stop_wait_hint_ms;
        send_status_locked();
    }
    os->ReleaseSRWLockExclusive(&the_service.status_lock);
}

void report_stopped_with_error(DWORD error_code)
{
    os->AcquireSRWLockExclusive(&the_service.status_lock);
    the_service.status.dwCurrentState = SERVICE_STOPPED;
    the_service.status.dwWin32ExitCode = error_code;
    send_status_locked();
    os->ReleaseSRWLockExclusive(&the_service.status_lock);
}

void report_stopped()
{
    os->AcquireSRWLockExclusive(&the_service.status_lock);
    the_service.status.dwCurrentState = SERVICE_STOPPED;
    send_status_locked();
    os->ReleaseSRWLockExclusive(&the_service.status_lock);
}

DWORD WINAPI service_control_handler(DWORD control, DWORD event_type, LPVOID /*event_data*/, LPVOID /*context*/)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_PRESHUTDOWN:
        // The manager must see "stop pending" before the loop can possibly report "stopped".
        report_stop_pending();
        os->SetEvent(the_service.stop_event);
        return NO_ERROR;
    case SERVICE_CONTROL_SESSIONCHANGE:
        if (event_type == WTS_CONSOLE_CONNECT) {
            os->SetEvent(the_service.session_event);
        }
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}
