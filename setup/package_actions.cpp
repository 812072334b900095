// The Windows Installer package's custom actions, in a DLL the package carries in its Binary table: the
// registration, the service's stop and start, the removal and their rollbacks, with install's and uninstall's
// own code, every line they say sent to the installer's log.
#include "setup/service_manager.h"
#include "setup/setup_install.h"
#include "setup/setup_output.h"
#include "setup/setup_uninstall.h"

#include <msiquery.h>

#include <string>

namespace {

// Set by the package's action that looks before the script runs; the registration's rollback deletes only
// a registration this run made, so it is scheduled only where there was none.
const wchar_t* const registered_property = L"OrvaneServiceRegistered";
const wchar_t* const service_folder_property = L"SERVICEDIR";
const wchar_t* const service_file_name = L"OrvaneService.exe";

// The session of the action that runs. Windows Installer calls one action at a time into this DLL.
MSIHANDLE current_session = 0;

// An informational message is what /l*v writes as it stands. The template "[1]" prints the one field
// unchanged, so that brackets in a path are not read as properties; the record shows in no window.
void write_to_installer_log(const std::wstring& text)
{
    const MSIHANDLE record = MsiCreateRecord(1);
    if (record == 0) {
        return;
    }
    if (MsiRecordSetStringW(record, 0, L"[1]") == ERROR_SUCCESS &&
        MsiRecordSetStringW(record, 1, text.c_str()) == ERROR_SUCCESS) {
        MsiProcessMessage(current_session, INSTALLMESSAGE_INFO, record);
    }
    MsiCloseHandle(record);
}

// A string Windows Installer hands out, a property's value (MsiGetPropertyW) or a folder's target path
// (MsiGetTargetPathW): asked once with no room, for its length, then read whole.
UINT read_installer_string(UINT(WINAPI* read)(MSIHANDLE, LPCWSTR, LPWSTR, LPDWORD), MSIHANDLE session,
                           const wchar_t* name, std::wstring& value)
{
    wchar_t empty[1] = L"";
    DWORD length = 0;
    UINT result = read(session, name, empty, &length);
    value.clear();
    if (result == ERROR_MORE_DATA) {
        std::wstring buffer(length + 1, L'\0');
        length = static_cast<DWORD>(buffer.size());
        result = read(session, name, buffer.data(), &length);
        buffer.resize(length);
        value = buffer;
    }
    return result;
}

// The service program the package installs, in the target folder Windows Installer resolved; a target
// folder ends with its backslash.
UINT read_service_path(MSIHANDLE session, std::wstring& path)
{
    std::wstring folder;
    const UINT result = read_installer_string(MsiGetTargetPathW, session, service_folder_property, folder);
    path = folder.empty() ? std::wstring() : folder + service_file_name;
    return result == ERROR_SUCCESS && path.empty() ? ERROR_PATH_NOT_FOUND : result;
}

// OrvaneService opened with `access`, or null: told when not registered (`missing`) and on any other failure.
SC_HANDLE open_registration(SC_HANDLE manager, DWORD access, const wchar_t* missing, DWORD* result)
{
    const SC_HANDLE service = OpenServiceW(manager, service_name, access);
    if (service == nullptr) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            say(missing);
        } else {
            *result = report_failure(L"opening OrvaneService", error);
        }
    }
    return service;
}

// Before the script: whether OrvaneService is registered, and the refusal (1073) of a registration of another
// program, before anything is changed.
DWORD inspect_registration(const std::wstring& service_path, bool& registered)
{
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    DWORD result = ERROR_SUCCESS;

    registered = false;
    manager = open_service_manager(SC_MANAGER_CONNECT, &result);
    if (result == ERROR_SUCCESS) {
        std::wstring program;
        service = OpenServiceW(manager, service_name, SERVICE_QUERY_CONFIG);
        const DWORD error = service == nullptr ? GetLastError() : registered_program(service, program);
        // What cannot be read counts as registered: the rollback then never deletes it.
        registered = error != ERROR_SERVICE_DOES_NOT_EXIST;
        if (!registered) {
            say(L"OrvaneService is not registered yet");
        } else if (error != ERROR_SUCCESS) {
            say(L"OrvaneService is registered, but its registration cannot be read here (error " +
                std::to_wstring(error) + L": " + error_text(error) + L"); the registration step looks again");
        } else if (!is_same_program(program, service_path)) {
            result = report_failure(L"OrvaneService is registered for another program, " + quoted(program) +
                                        L"; left as it is: remove it with \"OrvaneSetup.exe uninstall\" first",
                                    ERROR_SERVICE_EXISTS);
        } else {
            say(L"OrvaneService is registered for " + quoted(program));
        }
    }
    close_service_handle(&service);
    close_service_handle(&manager);
    return result;
}

// The package's own graceful stop, before the program is replaced or removed: the companion gets Ctrl-C and
// its 20 s. Restart Manager is off for the package, so no other stop comes first.
DWORD stop_own_service(const std::wstring& service_path)
{
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    DWORD result = ERROR_SUCCESS;

    manager = open_service_manager(SC_MANAGER_CONNECT, &result);
    if (result == ERROR_SUCCESS) {
        service = open_registration(manager, SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG,
                                    L"OrvaneService is not registered; nothing to stop", &result);
    }
    if (service != nullptr && is_own_registration(service, service_path, &result)) {
        result = stop_and_wait(service, uninstall_caller::package);
    }
    close_service_handle(&service);
    close_service_handle(&manager);
    return result;
}

// The undo of the stop: the service started again once it has stopped, if the package's program is
// registered. A rollback runs it after the files are back in place.
DWORD start_own_service(const std::wstring& service_path)
{
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    DWORD result = ERROR_SUCCESS;
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;

    manager = open_service_manager(SC_MANAGER_CONNECT, &result);
    if (result == ERROR_SUCCESS) {
        service = open_registration(manager, SERVICE_START | SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG,
                                    L"OrvaneService is not registered; nothing to start", &result);
    }
    if (service != nullptr && is_own_registration(service, service_path, &result)) {
        // A stop that timed out may still be finishing; the service ends it within its own bounds.
        const ULONGLONG started_ms = GetTickCount64();
        for (;;) {
            if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof status,
                                      &needed)) {
                result = report_last_error(L"querying the state of OrvaneService");
                break;
            }
            if (status.dwCurrentState != SERVICE_STOP_PENDING || GetTickCount64() - started_ms >= stop_wait_ms) {
                break;
            }
            Sleep(stop_poll_interval_ms);
        }
    }
    if (result == ERROR_SUCCESS && service != nullptr && status.dwCurrentState == SERVICE_STOPPED) {
        if (StartServiceW(service, 0, nullptr)) {
            say(L"started OrvaneService again");
        } else {
            result = report_last_error(L"starting OrvaneService again");
        }
    } else if (result == ERROR_SUCCESS && service != nullptr) {
        say(L"OrvaneService is " + state_text(status.dwCurrentState) + L"; not started again");
    }
    close_service_handle(&service);
    close_service_handle(&manager);
    return result;
}

DWORD register_service(const std::wstring& service_path)
{
    return install_service(service_path.c_str(), install_caller::package);
}

DWORD unregister_service(const std::wstring& service_path)
{
    return uninstall_service(uninstall_caller::package, service_path);
}

// One deferred action: its lines into the log, its data (the program's path, which a type-51 action of the
// package set) read, its step run. Any failure is 1603 to Windows Installer, which then rolls back; the reason
// is already in the log with its own code. Rollback actions are typed to have their result ignored.
UINT run_deferred(MSIHANDLE session, DWORD (*step)(const std::wstring& service_path))
{
    std::wstring service_path;

    current_session = session;
    set_line_sink(write_to_installer_log);
    DWORD result = read_installer_string(MsiGetPropertyW, session, L"CustomActionData", service_path);
    if (result != ERROR_SUCCESS) {
        result = report_failure(L"reading the action's data", result);
    } else if (service_path.empty()) {
        result = report_failure(L"the action was given no program path", ERROR_INVALID_PARAMETER);
    } else {
        result = step(service_path);
    }
    set_line_sink(nullptr);
    current_session = 0;
    return result == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

} // namespace

// The immediate action before the script is written: whether the service is registered, in a property the
// registration's rollback is conditioned on, and the refusal of another program's registration.
extern "C" __declspec(dllexport) UINT __stdcall InspectRegistration(MSIHANDLE session)
{
    std::wstring service_path;
    bool registered = false;

    current_session = session;
    set_line_sink(write_to_installer_log);
    DWORD result = read_service_path(session, service_path);
    if (result != ERROR_SUCCESS) {
        result = report_failure(L"reading the service program's folder", result);
    } else {
        result = inspect_registration(service_path, registered);
    }
    // Set either way, so that a value given on the command line never stands in for what was found.
    if (result == ERROR_SUCCESS) {
        const UINT set = MsiSetPropertyW(session, registered_property, registered ? L"1" : L"");
        if (set != ERROR_SUCCESS) {
            result = report_failure(L"setting the property " + std::wstring(registered_property), set);
        }
    }
    set_line_sink(nullptr);
    current_session = 0;
    return result == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

extern "C" __declspec(dllexport) UINT __stdcall StopService(MSIHANDLE session)
{
    return run_deferred(session, stop_own_service);
}

extern "C" __declspec(dllexport) UINT __stdcall StopServiceRollback(MSIHANDLE session)
{
    return run_deferred(session, start_own_service);
}

extern "C" __declspec(dllexport) UINT __stdcall RegisterService(MSIHANDLE session)
{
    return run_deferred(session, register_service);
}

// Scheduled only where the service was not registered before, so it deletes what this run registered.
extern "C" __declspec(dllexport) UINT __stdcall RegisterServiceRollback(MSIHANDLE session)
{
    return run_deferred(session, unregister_service);
}

extern "C" __declspec(dllexport) UINT __stdcall UnregisterService(MSIHANDLE session)
{
    return run_deferred(session, unregister_service);
}

extern "C" __declspec(dllexport) UINT __stdcall UnregisterServiceRollback(MSIHANDLE session)
{
    return run_deferred(session, restore_registration);
}
