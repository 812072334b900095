// The Windows Installer package's custom actions, in a DLL the package carries in its Binary table: the
// registration, the service's stop and start, the removal and their rollbacks, with install's and uninstall's
// own code, every line they say sent to the installer's log.
#include "setup/service_manager.h"
#include "setup/setup_install.h"
#include "setup/setup_output.h"
#include "setup/setup_uninstall.h"

#include <msiquery.h>

#include <new>
#include <string>
#include <utility>

namespace {

// Set by the package's actions that look before the script runs. The registration's rollback deletes only a
// registration this run made, so it is scheduled only where there was none; the stop's undo starts the service
// again, so it is scheduled only where it was running; the removal names the program as the registration spells
// it, which is still the same program once RemoveFiles has deleted the file the package knows it by.
const wchar_t* const registered_property = L"OrvaneServiceRegistered";
const wchar_t* const running_property = L"OrvaneServiceRunning";
const wchar_t* const program_property = L"OrvaneServiceProgram";
const wchar_t* const service_folder_property = L"SERVICEDIR";
const wchar_t* const service_file_name = L"OrvaneService.exe";

// The session of the action that runs. Windows Installer calls one action at a time into this DLL.
MSIHANDLE current_session = 0;

// One line into the /l*v log as an informational message, which shows in no window. The text is the record's
// template, already escaped: no allocation here, so the last resort of an entry point can use it too.
void log_template(MSIHANDLE session, const wchar_t* text) noexcept
{
    const MSIHANDLE record = MsiCreateRecord(0);
    if (record == 0) {
        return;
    }
    if (MsiRecordSetStringW(record, 0, text) == ERROR_SUCCESS) {
        MsiProcessMessage(session, INSTALLMESSAGE_INFO, record);
    }
    MsiCloseHandle(record);
}

// Windows Installer formats a message before it logs it, and the remarks of MsiFormatRecord say that after the
// fields are put in, the string is processed again: "[name]" would become a property's value, and text between
// braces could vanish. "[\c]" stands for the character c alone, with no further processing, so every bracket
// and brace of the line is written that way.
void write_to_installer_log(const std::wstring& text)
{
    std::wstring escaped;
    escaped.reserve(text.size());
    for (const wchar_t c : text) {
        if (c == L'[' || c == L']' || c == L'{' || c == L'}') {
            escaped += L"[\\";
            escaped += c;
            escaped += L']';
        } else {
            escaped += c;
        }
    }
    log_template(current_session, escaped.c_str());
}

// The last resort of an entry point: an exception (std::bad_alloc from a string) must not unwind into the
// installer's custom-action server, where it is undefined, nor end a rollback action that would then undo
// nothing. The line is a fixed text without brackets, so telling it allocates nothing and cannot throw again.
UINT fail_at_exception(MSIHANDLE session, const wchar_t* line) noexcept
{
    set_line_sink(nullptr);
    current_session = 0;
    log_template(session, line);
    return ERROR_INSTALL_FAILURE;
}

template <typename Action> UINT guarded(MSIHANDLE session, Action action) noexcept
{
    try {
        return action();
    } catch (const std::bad_alloc&) {
        return fail_at_exception(session, out_of_memory_line);
    } catch (...) {
        return fail_at_exception(session, exception_line);
    }
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

// What the look before the script found, for the properties the script's conditions and data are made of.
struct registration_finding {
    bool registered;
    bool running;
    // The program the removal names: the registration's own spelling when it is this package's program, else the
    // package's path.
    std::wstring program;
};

// Whether a service in this state keeps a companion, or is about to: the state the stop's undo brings back.
bool keeps_running(DWORD state)
{
    return state != SERVICE_STOPPED && state != SERVICE_STOP_PENDING;
}

// Before the script: whether OrvaneService is registered, for which program, whether it runs, and, when
// installing, the refusal (1073) of a registration of another program before anything is changed.
DWORD inspect_registration(const std::wstring& service_path, bool installing, registration_finding& found)
{
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    DWORD result = ERROR_SUCCESS;
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;

    found = {false, false, service_path};
    manager = open_service_manager(SC_MANAGER_CONNECT, &result);
    if (result == ERROR_SUCCESS) {
        std::wstring program;
        service = OpenServiceW(manager, service_name, SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS);
        const DWORD error = service == nullptr ? GetLastError() : registered_program(service, program);
        // What cannot be read counts as registered and running: the rollback then never deletes it, and starts it
        // again if the package's stop stopped it.
        found.registered = error != ERROR_SERVICE_DOES_NOT_EXIST;
        if (!found.registered) {
            say(L"OrvaneService is not registered yet");
        } else if (error != ERROR_SUCCESS) {
            found.running = true;
            say(L"OrvaneService is registered, but its registration cannot be read here (error " +
                std::to_wstring(error) + L": " + error_text(error) + L"); the later steps look again");
        } else if (!is_same_program(program, service_path)) {
            const std::wstring line = L"OrvaneService is registered for another program, " + quoted(program);
            if (installing) {
                result = report_failure(line + L"; left as it is: remove it with \"OrvaneSetup.exe uninstall\" first",
                                        ERROR_SERVICE_EXISTS);
            } else {
                say(line + L"; the removal leaves it as it is");
            }
        } else if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                                         sizeof status, &needed)) {
            const DWORD state_error = GetLastError();
            found.running = true;
            found.program = program;
            say(L"OrvaneService is registered for " + quoted(program) + L"; its state cannot be read (error " +
                std::to_wstring(state_error) + L": " + error_text(state_error) +
                L"), so a rollback would start it again");
        } else {
            found.running = keeps_running(status.dwCurrentState);
            found.program = program;
            say(L"OrvaneService is registered for " + quoted(program) + L" and is " +
                state_text(status.dwCurrentState) +
                (found.running ? L"; a rollback starts it again" : L"; a rollback leaves it stopped"));
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

// The undo of the stop, scheduled only where the service was running: the service started again once it has
// stopped, if the package's program is registered and there. In a failed upgrade the new version's undo runs
// before the old version's files are back; the old version's own undo, which runs after them, starts it then.
DWORD start_own_service(const std::wstring& service_path)
{
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    DWORD result = ERROR_SUCCESS;
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    bool own = false;
    bool state_read = false;

    manager = open_service_manager(SC_MANAGER_CONNECT, &result);
    if (result == ERROR_SUCCESS) {
        service = open_registration(manager, SERVICE_START | SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG,
                                    L"OrvaneService is not registered; nothing to start", &result);
    }
    if (service != nullptr) {
        std::wstring program;
        const DWORD error = registered_program(service, program);
        if (error != ERROR_SUCCESS) {
            result = report_failure(L"reading the registration of OrvaneService", error);
        } else if (GetFileAttributesW(program.c_str()) == INVALID_FILE_ATTRIBUTES) {
            const DWORD missing = GetLastError();
            say(L"OrvaneService's program " + quoted(program) + L" is not there (error " + std::to_wstring(missing) +
                L": " + error_text(missing) + L"); not started here: the undo that puts it back starts it");
        } else if (!is_same_program(program, service_path)) {
            say(L"OrvaneService is registered for another program, " + quoted(program) + L"; left as it is");
        } else {
            own = true;
        }
    }
    if (own) {
        // A stop that timed out may still be finishing; the service ends it within its own bounds.
        const ULONGLONG started_ms = GetTickCount64();
        for (;;) {
            if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof status,
                                      &needed)) {
                result = report_last_error(L"querying the state of OrvaneService");
                break;
            }
            state_read = true;
            if (status.dwCurrentState != SERVICE_STOP_PENDING || GetTickCount64() - started_ms >= stop_wait_ms) {
                break;
            }
            Sleep(stop_poll_interval_ms);
        }
    }
    if (state_read && status.dwCurrentState == SERVICE_STOPPED) {
        if (StartServiceW(service, 0, nullptr)) {
            say(L"started OrvaneService again");
        } else {
            result = report_last_error(L"starting OrvaneService again");
        }
    } else if (state_read) {
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

// The immediate actions before the script is written, one for an install (the new version of an upgrade, a
// repair) and one for a removal: what they found, in the properties the script's conditions and the removal's
// data are made of. Set either way, so that a value given on the command line never stands in for it.
UINT run_inspection(MSIHANDLE session, bool installing)
{
    std::wstring service_path;
    registration_finding found = {false, false, {}};

    current_session = session;
    set_line_sink(write_to_installer_log);
    DWORD result = read_service_path(session, service_path);
    if (result != ERROR_SUCCESS) {
        result = report_failure(L"reading the service program's folder", result);
    } else {
        result = inspect_registration(service_path, installing, found);
    }
    const std::pair<const wchar_t*, std::wstring> properties[] = {{registered_property, found.registered ? L"1" : L""},
                                                                  {running_property, found.running ? L"1" : L""},
                                                                  {program_property, found.program}};
    for (const auto& [name, value] : properties) {
        if (result != ERROR_SUCCESS) {
            break;
        }
        const UINT set = MsiSetPropertyW(session, name, value.c_str());
        if (set != ERROR_SUCCESS) {
            result = report_failure(L"setting the property " + std::wstring(name), set);
        }
    }
    set_line_sink(nullptr);
    current_session = 0;
    return result == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

} // namespace

extern "C" __declspec(dllexport) UINT __stdcall InspectRegistration(MSIHANDLE session)
{
    return guarded(session, [session] { return run_inspection(session, true); });
}

extern "C" __declspec(dllexport) UINT __stdcall InspectRemoval(MSIHANDLE session)
{
    return guarded(session, [session] { return run_inspection(session, false); });
}

extern "C" __declspec(dllexport) UINT __stdcall StopService(MSIHANDLE session)
{
    return guarded(session, [session] { return run_deferred(session, stop_own_service); });
}

extern "C" __declspec(dllexport) UINT __stdcall StopServiceRollback(MSIHANDLE session)
{
    return guarded(session, [session] { return run_deferred(session, start_own_service); });
}

extern "C" __declspec(dllexport) UINT __stdcall RegisterService(MSIHANDLE session)
{
    return guarded(session, [session] { return run_deferred(session, register_service); });
}

// Scheduled only where the service was not registered before, so it deletes what this run registered.
extern "C" __declspec(dllexport) UINT __stdcall RegisterServiceRollback(MSIHANDLE session)
{
    return guarded(session, [session] { return run_deferred(session, unregister_service); });
}

// Its data is the program as the registration spells it, read before RemoveFiles deleted the file.
extern "C" __declspec(dllexport) UINT __stdcall UnregisterService(MSIHANDLE session)
{
    return guarded(session, [session] { return run_deferred(session, unregister_service); });
}

extern "C" __declspec(dllexport) UINT __stdcall UnregisterServiceRollback(MSIHANDLE session)
{
    return guarded(session, [session] { return run_deferred(session, restore_registration); });
}
