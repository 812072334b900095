// Status reports and the control handler; the handler only reports and signals, the loop does the work.
#include "host/service_state.h"

service_state the_service = {};

namespace {

// Hands the whole record to the manager while the lock is held, so the record it sends is the one
// just written and reports reach the manager in the order they were made.
BOOL send_status_locked()
{
    return os->SetServiceStatus(the_service.status_handle, &the_service.status);
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

bool report_running()
{
    os->AcquireSRWLockExclusive(&the_service.status_lock);
    the_service.status.dwCurrentState = SERVICE_RUNNING;
    the_service.status.dwControlsAccepted = running_controls;
    const BOOL sent = send_status_locked();
    os->ReleaseSRWLockExclusive(&the_service.status_lock);
    return sent != FALSE;
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

void report_stop_refused()
{
    os->AcquireSRWLockExclusive(&the_service.status_lock);
    // Only the stop pending just reported is taken back; a stopped report the loop made meanwhile stands.
    if (the_service.status.dwCurrentState == SERVICE_STOP_PENDING) {
        the_service.status.dwCurrentState = SERVICE_RUNNING;
        the_service.status.dwControlsAccepted = running_controls;
        the_service.status.dwWaitHint = 0;
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

bool stop_pending()
{
    os->AcquireSRWLockExclusive(&the_service.status_lock);
    // The record holds "stop pending" from before the stop event is set until the stopped report, even
    // when the report itself did not reach the manager; a stop that could not be passed on is taken back.
    const bool pending = the_service.status.dwCurrentState == SERVICE_STOP_PENDING;
    os->ReleaseSRWLockExclusive(&the_service.status_lock);
    return pending;
}

DWORD WINAPI service_control_handler(DWORD control, DWORD event_type, LPVOID /*event_data*/, LPVOID /*context*/)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_PRESHUTDOWN:
        // The manager must see "stop pending" before the loop can possibly report "stopped".
        report_stop_pending();
        if (os->SetEvent(the_service.stop_event) == FALSE) {
            // The loop would never hear of this stop, and the manager sends no second stop to a service
            // in "stop pending": say it runs again and fail this control, so the stop can be retried.
            const DWORD error_code = os->GetLastError();
            report_stop_refused();
            return failure_code(error_code);
        }
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
