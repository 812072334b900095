// The one seam between the service's logic and the operating system: a table of Windows calls.
#pragma once

#include "platform/win32_types.h"

// Each member has the exact inputs and results of the Windows function of the same name, so the
// Windows realisation can point straight at the real function and the compiler checks the match.
struct platform_ops {
    // Service control manager
    BOOL(WINAPI* StartServiceCtrlDispatcherA)(const SERVICE_TABLE_ENTRYA* table);
    SERVICE_STATUS_HANDLE(WINAPI* RegisterServiceCtrlHandlerExA)
    (LPCSTR name, LPHANDLER_FUNCTION_EX handler, LPVOID context);
    BOOL(WINAPI* SetServiceStatus)(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status);

    // Events, waits and the status record's lock
    HANDLE(WINAPI* CreateEventA)(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial_state, LPCSTR name);
    BOOL(WINAPI* SetEvent)(HANDLE event);
    DWORD(WINAPI* WaitForSingleObject)(HANDLE handle, DWORD timeout_ms);
    DWORD(WINAPI* WaitForMultipleObjects)(DWORD count, const HANDLE* handles, BOOL wait_all, DWORD timeout_ms);
    void(WINAPI* AcquireSRWLockExclusive)(PSRWLOCK lock);
    void(WINAPI* ReleaseSRWLockExclusive)(PSRWLOCK lock);

    // Sessions and tokens
    DWORD(WINAPI* WTSGetActiveConsoleSessionId)();
    HANDLE(WINAPI* GetCurrentProcess)();
    BOOL(WINAPI* OpenProcessToken)(HANDLE process, DWORD access, PHANDLE token);
    BOOL(WINAPI* DuplicateTokenEx)
    (HANDLE token, DWORD access, LPSECURITY_ATTRIBUTES attributes, SECURITY_IMPERSONATION_LEVEL level, TOKEN_TYPE type,
     PHANDLE new_token);
    BOOL(WINAPI* SetTokenInformation)(HANDLE token, TOKEN_INFORMATION_CLASS info_class, LPVOID info, DWORD info_length);

    // Processes, jobs and attribute lists
    BOOL(WINAPI* InitializeProcThreadAttributeList)
    (LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD attribute_count, DWORD flags, PSIZE_T size);
    HANDLE(WINAPI* GetProcessHeap)();
    LPVOID(WINAPI* HeapAlloc)(HANDLE heap, DWORD flags, SIZE_T bytes);
    BOOL(WINAPI* HeapFree)(HANDLE heap, DWORD flags, LPVOID memory);
    BOOL(WINAPI* UpdateProcThreadAttribute)
    (LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD flags, DWORD_PTR attribute, PVOID value, SIZE_T size,
     PVOID previous_value, PSIZE_T return_size);
    HANDLE(WINAPI* CreateJobObjectW)(LPSECURITY_ATTRIBUTES attributes, LPCWSTR name);
    BOOL(WINAPI* SetInformationJobObject)(HANDLE job, JOBOBJECTINFOCLASS info_class, LPVOID info, DWORD info_length);
    BOOL(WINAPI* CreateProcessAsUserW)
    (HANDLE token, LPCWSTR application_name, LPWSTR command_line, LPSECURITY_ATTRIBUTES process_attributes,
     LPSECURITY_ATTRIBUTES thread_attributes, BOOL inherit_handles, DWORD creation_flags, LPVOID environment,
     LPCWSTR current_directory, LPSTARTUPINFOW startup_info, LPPROCESS_INFORMATION process_information);
    BOOL(WINAPI* GetExitCodeProcess)(HANDLE process, LPDWORD exit_code);
    BOOL(WINAPI* TerminateProcess)(HANDLE process, UINT exit_code);
    BOOL(WINAPI* CloseHandle)(HANDLE handle);

    // Files, paths and text
    DWORD(WINAPI* GetModuleFileNameW)(HMODULE module, LPWSTR buffer, DWORD size);
    BOOL(WINAPI* SetCurrentDirectoryW)(LPCWSTR path);
    DWORD(WINAPI* GetTempPathW)(DWORD size, LPWSTR buffer);
    // For calls that only newer Windows has, resolved at run time: a static import of a missing one
    // would keep the executable from loading at all.
    HMODULE(WINAPI* GetModuleHandleW)(LPCWSTR module_name);
    FARPROC(WINAPI* GetProcAddress)(HMODULE module, LPCSTR procedure_name);
    errno_t (*wcscat_s)(WCHAR* destination, rsize_t size, const WCHAR* source);
    HANDLE(WINAPI* CreateFileW)
    (LPCWSTR path, DWORD access, DWORD share_mode, LPSECURITY_ATTRIBUTES attributes, DWORD disposition,
     DWORD flags_and_attributes, HANDLE template_file);
    BOOL(WINAPI* GetFileSizeEx)(HANDLE file, PLARGE_INTEGER size);
    BOOL(WINAPI* MoveFileExW)(LPCWSTR existing_path, LPCWSTR new_path, DWORD flags);

    // Consoles, errors and process end
    BOOL(WINAPI* FreeConsole)();
    BOOL(WINAPI* AttachConsole)(DWORD process_id);
    BOOL(WINAPI* SetConsoleCtrlHandler)(PHANDLER_ROUTINE routine, BOOL add);
    BOOL(WINAPI* GenerateConsoleCtrlEvent)(DWORD ctrl_event, DWORD process_group_id);
    DWORD(WINAPI* GetLastError)();
    void(WINAPI* SetLastError)(DWORD error);
    void(WINAPI* ExitProcess)(UINT exit_code);
};

// The table every routine calls through. The Windows entry points it at the real functions;
// tests point it at a simulated Windows, one scenario at a time.
extern const platform_ops* os;

// The bounded append behind the table's wcscat_s: appends when the whole result fits in `size`
// characters, otherwise empties the destination and returns an error code. Unlike the C runtime's
// wcscat_s it never calls the invalid-parameter handler, which by default ends the process.
errno_t bounded_wcscat(WCHAR* destination, rsize_t size, const WCHAR* source);

// The error code to report for a failure, never 0: a failing call may leave no code (HeapAlloc sets
// none, and a fault may clear it), and 0 would read as success or a clean stop.
DWORD failure_code(DWORD error_code);

#ifdef _WIN32
// The realisation over the real Windows functions.
extern const platform_ops windows_platform_ops;
#endif
