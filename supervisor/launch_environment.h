// What every launch of the companion needs: log file, startup information, attribute list, token, job.
#pragma once

#include "platform/platform_ops.h"

// Owned by the service routine for its whole run. The attribute list records the addresses of
// log_handle and job_slot, not their values, so this record must not move once built.
struct launch_environment {
    HANDLE log_handle; // the open log; the null device while the log cannot be opened again
    bool log_detached; // log_handle is the null device: the next launch tries the log again
    STARTUPINFOEXW startup_info;
    LPPROC_THREAD_ATTRIBUTE_LIST attribute_list;
    HANDLE job_slot;
    bool job_entry_set;                // the list's job entry exists and points at job_slot
    WCHAR log_path[MAX_PATH];          // empty when the name does not fit
    WCHAR previous_log_path[MAX_PATH]; // where the log is set aside; empty when it does not fit
};

constexpr DWORD launch_attribute_count = 2;
constexpr DWORD kill_on_close_limit_flags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
// A log grown past this is set aside before the next launch, so that a companion relaunched for days
// cannot fill the system drive. One long run of a companion may still write past it.
constexpr LONGLONG log_rotation_threshold_bytes = 16LL * 1024 * 1024;

// Sets the previous run's log aside, opens a new, empty log, fills the startup information and builds
// the attribute list with the handle-list entry. False on failure with the failing call's error code
// left to read; the log stays open.
bool build_launch_environment(launch_environment* environment);

// Before each launch: a log grown past the threshold is set aside and the companion gets a new, empty
// one. Whatever cannot be done leaves the companion writing where it wrote before, and the next launch
// tries again; log_handle and both standard handles always name the same open, inheritable handle.
void prepare_log_for_launch(launch_environment* environment);

// Puts the next launch inside `job`: writes the slot and points the job-list entry at it. False while
// the list has no job entry, since a launch would then run outside any job.
bool set_launch_job(launch_environment* environment, HANDLE job);

// The log at `path`, emptied, inheritable; or INVALID_HANDLE_VALUE.
HANDLE open_log_file(LPCWSTR path);

// An initialised attribute list for `count` attributes from the process heap, or null.
LPPROC_THREAD_ATTRIBUTE_LIST create_attribute_list(DWORD count);

// A primary token of the service's own account bound to `session_id`, or null.
HANDLE create_session_token(DWORD session_id);

// A job that ends every process in it when its last handle closes, or null.
HANDLE create_kill_on_close_job();
