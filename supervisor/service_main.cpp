// The service routine: start-up, then launch, watch, stop and relaunch the companion, cycle by cycle.
#include "supervisor/service_main.h"

#include "host/service_state.h"
#include "stop/graceful_stop.h"
#include "supervisor/launch_environment.h"

const char service_name[] = "OrvaneService";
const WCHAR companion_application_name[] = WIDE("Orvane.exe");

namespace {

// Waits that fail in a row. A failed poll starts a cycle at once and a failed watch ends it at once,
// so without these counts a wait that keeps failing would spin the loop. Polls and watches take
// turns, and a wait of one kind that always fails sits between waits of the other kind that succeed,
// so each kind is also counted on its own and only its own success clears that count.
struct wait_failures {
    DWORD any_in_a_row;
    DWORD polls_in_a_row;
    DWORD watches_in_a_row;
    DWORD last_error; // never 0, so the stopped report cannot read as a clean stop
};

enum class wait_kind { poll, watch };

void note_wait_succeeded(wait_failures* failures, wait_kind kind)
{
    failures->any_in_a_row = 0;
    if (kind == wait_kind::poll) {
        failures->polls_in_a_row = 0;
    } else {
        failures->watches_in_a_row = 0;
    }
}

void note_wait_failed(wait_failures* failures, wait_kind kind, DWORD error_code)
{
    failures->any_in_a_row += 1;
    if (kind == wait_kind::poll) {
        failures->polls_in_a_row += 1;
    } else {
        failures->watches_in_a_row += 1;
    }
    failures->last_error = failure_code(error_code);
}

bool too_many_failed_waits(const wait_failures* failures)
{
    return failures->any_in_a_row >= failed_waits_limit || failures->polls_in_a_row >= failed_waits_limit ||
           failures->watches_in_a_row >= failed_waits_limit;
}

void close_handle(HANDLE* handle)
{
    if (*handle != nullptr) {
        os->CloseHandle(*handle);
        *handle = nullptr;
    }
}

// Both events are made before anything can signal them: controls stay unaccepted until the running
// report. A failure leaves its error code to be read by the caller.
bool create_service_events()
{
    the_service.stop_event = os->CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (the_service.stop_event == nullptr) {
        return false;
    }
    the_service.session_event = os->CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return the_service.session_event != nullptr;
}

bool launch_companion(launch_environment* environment, HANDLE token, PROCESS_INFORMATION* companion)
{
    // Whatever happens to the log here, the launch goes ahead with the handle it leaves.
    prepare_log_for_launch(environment);
    // No command line: the platform then uses the application name, resolved against the current
    // directory the entry set. Inheritance is on, but the attribute list confines it to the log.
    const BOOL launched = os->CreateProcessAsUserW(token, companion_application_name, nullptr, nullptr, nullptr, TRUE,
                                                   companion_creation_flags, nullptr, nullptr,
                                                   &environment->startup_info.StartupInfo, companion);
    if (launched == FALSE) {
        // The record's contents are not promised after a failure; keep the release from closing them.
        *companion = {};
        return false;
    }
    return true;
}

// Ctrl-C through an interrupt process in the companion's session, then the grace period; whatever
// does not end in time, or cannot be asked, is terminated.
void stop_companion(HANDLE token, const PROCESS_INFORMATION* companion)
{
    if (!request_stop(token, companion->dwProcessId)) {
        os->TerminateProcess(companion->hProcess, forced_exit_code);
        return;
    }
    if (os->WaitForSingleObject(companion->hProcess, grace_period_ms) != WAIT_OBJECT_0) {
        os->TerminateProcess(companion->hProcess, forced_exit_code);
    }
}

// True when the companion asked for the service to stop.
bool watch_companion(HANDLE token, const PROCESS_INFORMATION* companion, DWORD cycle_session, wait_failures* failures)
{
    const HANDLE watched[watch_handle_count] = {the_service.stop_event, companion->hProcess, the_service.session_event};
    for (;;) {
        const DWORD result = os->WaitForMultipleObjects(watch_handle_count, watched, FALSE, INFINITE);
        if (result < watch_handle_count) {
            note_wait_succeeded(failures, wait_kind::watch);
        } else {
            note_wait_failed(failures, wait_kind::watch, os->GetLastError());
        }

        BOOL exit_code_read = FALSE;
        DWORD exit_code = 0;
        DWORD console_session = cycle_session;
        if (result == watch_companion_index) {
            exit_code_read = os->GetExitCodeProcess(companion->hProcess, &exit_code);
        } else if (result == watch_session_index) {
            console_session = os->WTSGetActiveConsoleSessionId();
        }

        switch (decide_watch_action(result, exit_code_read != FALSE, exit_code, console_session, cycle_session)) {
        case watch_action::keep_watching:
            break;
        case watch_action::release:
            return false;
        case watch_action::stop_service:
            // The event records the stop as a stop control would; the loop ends on the answer returned
            // here, which neither a failed SetEvent nor a failed poll after the release can lose.
            os->SetEvent(the_service.stop_event);
            return true;
        case watch_action::stop_companion:
            stop_companion(token, companion);
            return false;
        }
    }
}

// One cycle: token, job, launch, watch, release. Whatever the cycle acquired it closes here. True when
// the companion asked for the service to stop.
bool run_cycle(launch_environment* environment, DWORD session_id, wait_failures* failures)
{
    HANDLE token = nullptr;
    HANDLE job = nullptr;
    PROCESS_INFORMATION companion = {};
    bool stop_requested = false;

    token = create_session_token(session_id);
    if (token != nullptr) {
        job = create_kill_on_close_job();
    }
    // Without its job entry the launch would run outside the job, where closing the job could not end it.
    if (job != nullptr && set_launch_job(environment, job) && launch_companion(environment, token, &companion)) {
        stop_requested = watch_companion(token, &companion, session_id, failures);
    }

    // The job goes last: closing it ends whatever is still running inside it.
    close_handle(&companion.hThread);
    close_handle(&companion.hProcess);
    close_handle(&token);
    close_handle(&job);
    // The job-list entry reads the slot at every launch; a stale value could name a recycled handle.
    environment->job_slot = nullptr;
    return stop_requested;
}

void supervise(launch_environment* environment, wait_failures* failures)
{
    for (;;) {
        const DWORD poll_result = os->WaitForSingleObject(the_service.stop_event, poll_interval_ms);
        if (poll_result == WAIT_OBJECT_0) {
            return;
        }
        if (poll_result == WAIT_TIMEOUT) {
            note_wait_succeeded(failures, wait_kind::poll);
        } else {
            note_wait_failed(failures, wait_kind::poll, os->GetLastError());
            // A failed poll cannot tell whether a stop arrived; a cycle started after one would launch a
            // companion only to stop it again, another grace period inside the manager's stop timeout.
            if (too_many_failed_waits(failures) || stop_pending()) {
                return;
            }
        }

        const DWORD session_id = os->WTSGetActiveConsoleSessionId();
        if (session_id == no_console_session) {
            continue;
        }
        if (run_cycle(environment, session_id, failures) || too_many_failed_waits(failures)) {
            return;
        }
    }
}

} // namespace

watch_action decide_watch_action(DWORD wait_result, bool exit_code_read, DWORD exit_code, DWORD console_session,
                                 DWORD cycle_session)
{
    switch (wait_result) {
    case watch_companion_index:
        // An unreadable exit code counts as an ordinary end: relaunch.
        if (exit_code_read && exit_code == stop_request_exit_code) {
            return watch_action::stop_service;
        }
        return watch_action::release;
    case watch_session_index:
        // Only a console that now belongs to another session (or to none) moves the companion.
        if (console_session == cycle_session) {
            return watch_action::keep_watching;
        }
        return watch_action::stop_companion;
    case watch_stop_index:
    default:
        // A failed wait ends the cycle like a stop, so the release still closes the job.
        return watch_action::stop_companion;
    }
}

void WINAPI service_main(DWORD /*argc*/, LPSTR* /*argv*/)
{
    // Lives until this routine returns: the attribute list records addresses inside it.
    launch_environment environment = {};
    wait_failures failures = {};

    the_service.status_handle = os->RegisterServiceCtrlHandlerExA(service_name, service_control_handler, nullptr);
    if (the_service.status_handle == nullptr) {
        // Without a status handle no report can reach the manager; the exit code is all it sees.
        os->ExitProcess(failure_code(os->GetLastError()));
        return;
    }
    report_start_pending();

    // Nothing made before a start-up failure is closed: the end of the process releases it.
    if (!create_service_events() || !build_launch_environment(&environment)) {
        report_stopped_with_error(failure_code(os->GetLastError()));
        return;
    }
    // The manager sends stop controls only to a service it was told accepts them; one it never heard
    // of as running could not be stopped at all, so it must not go on to launch anything.
    if (!report_running()) {
        report_stopped_with_error(failure_code(os->GetLastError()));
        return;
    }

    supervise(&environment, &failures);

    if (too_many_failed_waits(&failures)) {
        report_stopped_with_error(failures.last_error);
    } else {
        report_stopped();
    }
}
