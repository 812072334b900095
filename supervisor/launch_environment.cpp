// Builds what every launch of the companion needs: log file, startup information, attribute list, token, job.
#include "supervisor/launch_environment.h"

namespace {

constexpr DWORD path_capacity_chars = MAX_PATH; // terminator included
const WCHAR log_file_name[] = WIDE("orvane.log");
const WCHAR previous_log_file_name[] = WIDE("orvane.1.log");
// Where the companion's output goes while the log cannot be opened: every write succeeds and vanishes.
const WCHAR null_device_name[] = WIDE("NUL");
// GetFileSizeEx needs FILE_READ_ATTRIBUTES on the handle (or enough rights on the folder). It is not
// data access, so it plays no part in sharing: readers are still let in, writers still kept out.
constexpr DWORD log_create_access = GENERIC_WRITE | FILE_READ_ATTRIBUTES;
// Without FILE_WRITE_DATA every write lands at the end of the file, so a log opened again after a
// rotation failed is appended to, never overwritten from its start.
constexpr DWORD log_append_access = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES;
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

// Both names in the account's temporary directory. Zeroed first: if the directory query fails it may
// leave its buffer untouched, and an empty buffer then names the files in the current directory rather
// than reading stale memory. A name that does not fit leaves its path empty, so an open or a rename of
// it fails rather than reaching a truncated path somewhere unexpected.
void fetch_log_paths(launch_environment* environment)
{
    *environment->log_path = 0;
    *environment->previous_log_path = 0;
    // Its result is not examined. A failed GetTempPath2W is not retried with GetTempPathW: the folder
    // every user may write is what it avoids, and the current directory is the companion's own.
    fetch_log_directory(path_capacity_chars, environment->log_path);
    os->wcscat_s(environment->previous_log_path, path_capacity_chars, environment->log_path);
    os->wcscat_s(environment->log_path, path_capacity_chars, log_file_name);
    os->wcscat_s(environment->previous_log_path, path_capacity_chars, previous_log_file_name);
}

// Inheritable, so the companion receives it through the handle list.
HANDLE open_inheritable(LPCWSTR path, DWORD access, DWORD share_mode, DWORD disposition)
{
    SECURITY_ATTRIBUTES inheritable = {};
    inheritable.nLength = sizeof(SECURITY_ATTRIBUTES);
    inheritable.lpSecurityDescriptor = nullptr;
    inheritable.bInheritHandle = TRUE;
    // The result is a new handle, never the attributes' address; cppcheck 2.10 assumes that a call
    // through a function pointer may hand back a pointer it was given, as the table's calls all are.
    // cppcheck-suppress returnDanglingLifetime
    return os->CreateFileW(path, access, share_mode, &inheritable, disposition, 0, nullptr);
}

// The log as it is now, to append to: the file written before when it could not be set aside, a new,
// empty one when it was. Readers may watch it; nobody else may write to it or rename it.
HANDLE open_log_for_appending(LPCWSTR path)
{
    return open_inheritable(path, log_append_access, FILE_SHARE_READ, OPEN_ALWAYS);
}

// Others may write to the null device too: it keeps nothing to protect.
HANDLE open_null_device()
{
    return open_inheritable(null_device_name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
}

void close_file(HANDLE* file)
{
    if (*file != INVALID_HANDLE_VALUE) {
        os->CloseHandle(*file);
        *file = INVALID_HANDLE_VALUE;
    }
}

// The handle list was given log_handle's address once and reads the handle stored there at every
// launch, so a new handle goes into that same field, and into both standard handles with it.
void use_log_handle(launch_environment* environment, HANDLE handle, bool detached)
{
    environment->log_handle = handle;
    environment->log_detached = detached;
    environment->startup_info.StartupInfo.hStdOutput = handle;
    environment->startup_info.StartupInfo.hStdError = handle;
}

// The log has grown past the threshold and has somewhere to be set aside. Never while the null device
// stands in for it: its size says nothing.
bool log_is_full(const launch_environment* environment)
{
    LARGE_INTEGER size = {};
    // A size that cannot be read leaves the log as it is; the next launch reads it again.
    return !environment->log_detached && environment->previous_log_path[0] != 0 &&
           os->GetFileSizeEx(environment->log_handle, &size) != FALSE && size.QuadPart > log_rotation_threshold_bytes;
}

} // namespace

bool build_launch_environment(launch_environment* environment)
{
    *environment = {};

    fetch_log_paths(environment);
    // The previous run's output may be what explains a restart, so it is kept, replacing an older one.
    // The result is not examined: with no log yet, or the log or the previous one held open elsewhere,
    // the open below empties the log as it always has, and the start goes on.
    if (environment->previous_log_path[0] != 0) {
        os->MoveFileExW(environment->log_path, environment->previous_log_path, MOVEFILE_REPLACE_EXISTING);
    }

    environment->log_handle = open_log_file(environment->log_path);
    if (environment->log_handle == INVALID_HANDLE_VALUE) {
        return false;
    }

    STARTUPINFOW& startup = environment->startup_info.StartupInfo;
    startup.cb = sizeof(STARTUPINFOEXW);
    startup.lpDesktop = interactive_desktop;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    use_log_handle(environment, environment->log_handle, false);

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

void prepare_log_for_launch(launch_environment* environment)
{
    HANDLE standby = INVALID_HANDLE_VALUE; // the null device, for a launch when the log cannot be opened

    if (environment->log_detached) {
        // A rotation could not open the log again (another process still holding it, most likely a
        // child that left the companion's job with its copy of the handle): try again. The null
        // device stays on hand in case the log found is full and a rotation follows at once.
        const HANDLE reopened = open_log_for_appending(environment->log_path);
        if (reopened != INVALID_HANDLE_VALUE) {
            standby = environment->log_handle;
            use_log_handle(environment, reopened, false);
        }
    }

    if (log_is_full(environment)) {
        if (standby == INVALID_HANDLE_VALUE) {
            standby = open_null_device();
        }
        // Without a standby the log is left as it is: closing it could leave the launch no handle at all.
        if (standby != INVALID_HANDLE_VALUE) {
            // A file must be closed before it can be renamed, and ours does not share delete access.
            // The field is written again below, before any launch reads it.
            close_file(&environment->log_handle);
            // The result is not examined: renamed, the open below makes a new, empty log; not renamed
            // (held open elsewhere, or the previous log held open), it appends to the log as it was.
            os->MoveFileExW(environment->log_path, environment->previous_log_path, MOVEFILE_REPLACE_EXISTING);
            const HANDLE reopened = open_log_for_appending(environment->log_path);
            if (reopened != INVALID_HANDLE_VALUE) {
                use_log_handle(environment, reopened, false);
            } else {
                use_log_handle(environment, standby, true);
                standby = INVALID_HANDLE_VALUE;
            }
        }
    }

    close_file(&standby);
}

HANDLE open_log_file(LPCWSTR path)
{
    // CREATE_ALWAYS empties what could not be set aside; readers may watch it, nobody else may write to it.
    return open_inheritable(path, log_create_access, FILE_SHARE_READ, CREATE_ALWAYS);
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
