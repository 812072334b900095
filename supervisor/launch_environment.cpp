// Builds what every launch of the companion needs: log file, startup information, attribute list, token, job.
#include "supervisor/launch_environment.h"

namespace {

constexpr DWORD path_capacity_chars = MAX_PATH; // terminator included
const WCHAR log_file_name[] = WIDE("orvane.log");
const WCHAR kernel32_name[] = WIDE("kernel32.dll");
const char private_temp_path_procedure[] = "GetTempPath2W";

using temp_path_routine = DWORD(WINAPI*)(DWORD size, LPWSTR buffer);

// STARTUPINFOW takes the desktop through a non-const pointer although Windows only reads it; a
// writable array of static duration avoids casting away const and outlives every launch.
WCHAR interactive_desktop[] = WIDE("winsta0\\default");

temp_path_routine private_temp_path_routine()
{
    // kernel32 is mapped into every process for its whole life: the module handle is not counted and
    // is never freed.
    const HMODULE kernel32 = os->GetModuleHandleW(kernel32_name);
    if (kernel32 == nullptr) {
        return nullptr;
    }
    const FARPROC found = os->GetProcAddress(kernel32, private_temp_path_procedure);
    if (found == nullptr) {
        return nullptr;
    }
    // GetProcAddress hands back one generic type for every export; the detour through void(*)() is the
    // cast the compiler accepts between unrelated function types, and the export has exactly this type.
    return reinterpret_cast<temp_path_routine>(reinterpret_cast<void (*)()>(found));
}

DWORD fetch_log_directory(DWORD size, LPWSTR buffer)
{
    // Under LocalSystem GetTempPathW names C:\Windows\Temp\, where every local user may create files, so a
    // user could own the log before the service first opens it. GetTempPath2W gives SYSTEM its own
    // C:\Windows\SystemTemp\ instead, readable only by SYSTEM and administrators; for any other account
    // it answers as GetTempPathW does. Older systems (and Wine 8) lack it.
    const temp_path_routine private_temp_path = private_temp_path_routine();
    if (private_temp_path != nullptr) {
        return private_temp_path(size, buffer);
    }
    return os->GetTempPathW(size, buffer);
}

} // namespace

bool build_launch_environment(launch_environment* environment)
{
    *environment = {};

    environment->log_handle = open_log_file();
    if (environment->log_handle == INVALID_HANDLE_VALUE) {
        return false;
    }

    STARTUPINFOW& startup = environment->startup_info.StartupInfo;
    startup.cb = sizeof(STARTUPINFOEXW);
    startup.lpDesktop = interactive_desktop;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = environment->log_handle;
    startup.hStdError = environment->log_handle;

    // On failure the list's memory is already freed; the log stays open until the process ends.
    environment->attribute_list = create_attribute_list(launch_attribute_count);
    if (environment->attribute_list == nullptr) {
        return false;
    }
    environment->startup_info.lpAttributeList = environment->attribute_list;

    // The companion is created with inheritance on; this entry confines it to the log handle alone.
    // The list keeps the address of log_handle, which is why the record must never move.
    os->UpdateProcThreadAttribute(environment->attribute_list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                  &environment->log_handle, sizeof(HANDLE), nullptr, nullptr);
    return true;
}

bool set_launch_job(launch_environment* environment, HANDLE job)
{
    environment->job_slot = job;
    // The entry records the slot's address, which never changes, so the launch reads whichever job the
    // slot holds at that moment. Windows may refuse to add an attribute a second time; once an earlier
    // call has added the entry that refusal changes nothing, but until one has, it is a real failure.
    if (os->UpdateProcThreadAttribute(environment->attribute_list, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST,
                                      &environment->job_slot, sizeof(HANDLE), nullptr, nullptr) != FALSE) {
        environment->job_entry_set = true;
    }
    return environment->job_entry_set;
}

HANDLE open_log_file()
{
    // Zeroed first: if the temporary-directory query fails it may leave the buffer untouched, and an
    // empty buffer then names the log in the current directory rather than reading stale memory.
    WCHAR path[path_capacity_chars] = {};
    SECURITY_ATTRIBUTES inheritable = {};

    // Its result is not examined. A failed GetTempPath2W is not retried with GetTempPathW: the folder
    // every user may write is what it avoids, and the current directory is the companion's own.
    fetch_log_directory(path_capacity_chars, path);
    // A name that does not fit leaves the buffer empty, so the open below fails rather than creating
    // a truncated path somewhere unexpected.
    os->wcscat_s(path, path_capacity_chars, log_file_name);

    inheritable.nLength = sizeof(SECURITY_ATTRIBUTES);
    inheritable.lpSecurityDescriptor = nullptr;
    inheritable.bInheritHandle = TRUE;

    // CREATE_ALWAYS empties the log of an earlier run; readers may watch it, nobody else may write to it.
    // The result is a new handle, never the attributes' address; cppcheck 2.10 assumes that a call
    // through a function pointer may hand back a pointer it was given, as the table's calls all are.
    // cppcheck-suppress returnDanglingLifetime
    return os->CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_ALWAYS, 0, nullptr);
}

LPPROC_THREAD_ATTRIBUTE_LIST create_attribute_list(DWORD count)
{
    HANDLE heap = nullptr;
    SIZE_T list_bytes = 0;
    LPPROC_THREAD_ATTRIBUTE_LIST list = nullptr;

    // With a null list the call only reports the size it needs, and "fails" to say so.
    os->InitializeProcThreadAttributeList(nullptr, count, 0, &list_bytes);

    heap = os->GetProcessHeap(); // the process's own heap: never destroyed

    list = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(os->HeapAlloc(heap, 0, list_bytes));
    if (list == nullptr) {
        // HeapAlloc without HEAP_GENERATE_EXCEPTIONS sets no error code; without this the caller would
        // read a stale value, possibly 0, and report the failure as success.
        os->SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }

    if (os->InitializeProcThreadAttributeList(list, count, 0, &list_bytes) == FALSE) {
        // The caller reads the initialisation's error after this; a successful free leaves it alone.
        os->HeapFree(heap, 0, list);
        list = nullptr;
    }
    return list;
}

HANDLE create_session_token(DWORD session_id)
{
    HANDLE process_token = nullptr;
    HANDLE session_token = nullptr;

    if (os->OpenProcessToken(os->GetCurrentProcess(), TOKEN_DUPLICATE, &process_token) == FALSE) {
        return nullptr;
    }

    if (os->DuplicateTokenEx(process_token, TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary,
                             &session_token) == FALSE) {
        // Whatever a failed duplication left in the output is not ours to close.
        session_token = nullptr;
    }
    // The service's own token served only as the duplication's source, whatever its outcome.
    os->CloseHandle(process_token);
    process_token = nullptr;

    // Re-binding a token to another session needs SE_TCB_NAME; under an account without it this fails.
    if (session_token != nullptr &&
        os->SetTokenInformation(session_token, TokenSessionId, &session_id, sizeof(session_id)) == FALSE) {
        os->CloseHandle(session_token);
        session_token = nullptr;
    }
    return session_token;
}

HANDLE create_kill_on_close_job()
{
    HANDLE job = nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};

    job = os->CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) {
        return nullptr;
    }

    // Closing the supervisor's handle, the job's only one, ends the companion and whatever it started
    // inside the job; children that ask to break away may still leave it.
    limits.BasicLimitInformation.LimitFlags = kill_on_close_limit_flags;
    if (os->SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits)) == FALSE) {
        os->CloseHandle(job);
        job = nullptr;
    }
    return job;
}
