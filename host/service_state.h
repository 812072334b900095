// The service's status record, its reports to the service control manager, and the control handler.
#pragma once

#include "platform/platform_ops.h"

// The one process-wide record. The dispatcher thread (handler) and the service routine's thread
// both report through it; status_lock serialises every report so none is torn or reordered.
struct service_state {
    SERVICE_STATUS status;
    SERVICE_STATUS_HANDLE status_handle;
    HANDLE stop_event;    // manual-reset: once set, the loop ends after the current cycle
    HANDLE session_event; // auto-reset: a session connected to the console
    SRWLOCK status_lock;
};

extern service_state the_service;

constexpr DWORD running_controls = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SESSIONCHANGE | SERVICE_ACCEPT_PRESHUTDOWN;
constexpr DWORD stop_wait_hint_ms = 30000;

void report_start_pending();
// False when the report did not reach the manager, which then knows nothing of the controls it accepts.
bool report_running();
void report_stop_pending();
// Takes back a stop pending whose stop could not be passed on to the loop: running again, stop accepted.
void report_stop_refused();
void report_stopped_with_error(DWORD error_code);
void report_stopped();

// Whether the handler has passed a stop on to the loop, read from the record rather than from the stop
// event, so that it is known even when a wait on the event fails.
bool stop_pending();

DWORD WINAPI service_control_handler(DWORD control, DWORD event_type, LPVOID event_data, LPVOID context);
