// What the installer's commands and the package's actions share about the service manager: opening and closing
// handles, state names, a registration marked for deletion, and the program a registration names.
#include "setup/service_manager.h"

#include "setup/installer_security.h"
#include "setup/setup_output.h"

// Nulled once closed, so no release path can close it twice.
void close_service_handle(SC_HANDLE* handle)
{
    if (*handle != nullptr) {
        CloseServiceHandle(*handle);
        *handle = nullptr;
    }
}

// The service manager with the given rights, or null with the failure told and left in `result`.
SC_HANDLE open_service_manager(DWORD access, DWORD* result)
{
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, access);
    if (manager == nullptr) {
        *result = report_last_error(L"opening the service control manager");
    }
    return manager;
}

const wchar_t* state_name(DWORD state)
{
    switch (state) {
    case SERVICE_STOPPED:
        return L"STOPPED";
    case SERVICE_START_PENDING:
        return L"START_PENDING";
    case SERVICE_STOP_PENDING:
        return L"STOP_PENDING";
    case SERVICE_RUNNING:
        return L"RUNNING";
    case SERVICE_CONTINUE_PENDING:
        return L"CONTINUE_PENDING";
    case SERVICE_PAUSE_PENDING:
        return L"PAUSE_PENDING";
    case SERVICE_PAUSED:
        return L"PAUSED";
    default:
        return L"UNKNOWN";
    }
}

std::wstring state_text(DWORD state)
{
    return std::wstring(state_name(state)) + L" (" + std::to_wstring(state) + L")";
}

DWORD probe_marked_for_deletion(SC_HANDLE service, bool& marked)
{
    marked = false;
    if (ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr, nullptr,
                             nullptr, nullptr, nullptr, nullptr, nullptr)) {
        return ERROR_SUCCESS;
    }
    const DWORD error = GetLastError();
    marked = error == ERROR_SERVICE_MARKED_FOR_DELETE;
    return marked ? ERROR_SUCCESS : error;
}

DWORD running_process_id(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS process = {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&process), sizeof process,
                              &needed)) {
        return unknown_process_id;
    }
    return process.dwCurrentState == SERVICE_STOPPED ? 0 : process.dwProcessId;
}

DWORD report_marked(marked_case where, DWORD process_id)
{
    const marked_notice notice = marked_for_deletion_notice(where, process_id);
    if (notice.exit_code == ERROR_SUCCESS) {
        say(notice.line);
        return ERROR_SUCCESS;
    }
    return report_failure(notice.line, notice.exit_code);
}

DWORD registered_program(SC_HANDLE service, std::wstring& program)
{
    alignas(QUERY_SERVICE_CONFIGW) BYTE buffer[config_buffer_bytes] = {};
    DWORD needed = 0;
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
    if (!QueryServiceConfigW(service, config, sizeof buffer, &needed)) {
        return GetLastError();
    }
    program = program_of_command_line(config->lpBinaryPathName != nullptr ? config->lpBinaryPathName : L"");
    return ERROR_SUCCESS;
}

bool is_same_program(const std::wstring& registered, const std::wstring& path)
{
    const auto equal = [&registered](const std::wstring& other) {
        return CompareStringOrdinal(registered.c_str(), static_cast<int>(registered.size()), other.c_str(),
                                    static_cast<int>(other.size()), TRUE) == CSTR_EQUAL;
    };
    if (equal(path)) {
        return true;
    }
    // A registration holds the final path install resolved; the package names the program by its folders.
    std::wstring resolved;
    return final_path(path, resolved) == ERROR_SUCCESS && equal(resolved);
}

bool is_own_registration(SC_HANDLE service, const std::wstring& path, DWORD* result)
{
    std::wstring program;
    const DWORD error = registered_program(service, program);
    if (error != ERROR_SUCCESS) {
        *result = report_failure(L"reading the registration of OrvaneService", error);
        return false;
    }
    if (!is_same_program(program, path)) {
        say(L"OrvaneService is registered for another program, " + quoted(program) + L"; left as it is");
        return false;
    }
    return true;
}
