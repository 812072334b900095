// What the installer's commands share about the service manager: opening and closing handles, state names.
#include "setup/service_manager.h"

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
