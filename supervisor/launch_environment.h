// What every launch of the companion needs: log file, startup information, attribute list, token, job.
#pragma once

#include "platform/platform_ops.h"

// Owned by the service routine for its whole run. The attribute list records the addresses of
// log_handle and job_slot, not their values, so this record must not move once built.
struct launch_environment {
    HANDLE log_handle;
    STARTUPINFOEXW startup_info;
    LPPROC_THREAD_ATTRIBUTE_LIST attribute_list;
    HANDLE job_slot;
    bool job_entry_set; // the list's job entry exists and points at job_slot
};

constexpr DWORD launch_attribute_count = 2;
constexpr DWORD kill_on_close_limit_flags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;

// Opens the log, fills the startup information and builds the attribute list with the handle-list
// entry. False on failure with the failing call's error code left to read; the log stays open.
bool build_launch_environment(launch_environment* environment);

// Puts the next launch inside `job`: writes the slot and points the job-list entry at it. False while
// the list has no job entry, since a launch would then run outside any job.
bool set_launch_job(launch_environment* environment, HANDLE job);

// The log file in the account's temporary directory (for SYSTEM its private one where Windows has
// GetTempPath2W), emptied, inheritable; or INVALID_HANDLE_VALUE.
HANDLE open_log_file();

// An initialised attribute list for `count` attributes from the process heap, or null.
LPPROC_THREAD_ATTRIBUTE_LIST create_attribute_list(DWORD count);

// A primary token of the service's own account bound to `session_id`, or null.
HANDLE create_session_token(DWORD session_id);

// A job that ends every process in it when its last handle closes, or null.
HANDLE create_kill_on_close_job();
