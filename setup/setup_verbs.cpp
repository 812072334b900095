// The installer's commands that change the registration: register OrvaneService, stop and remove it.
#include "setup/setup_verbs.h"

#include "setup/installer_security.h"
#include "setup/service_manager.h"
#include "setup/setup_output.h"

#include <algorithm>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace {

const wchar_t* const display_name = L"Orvane Service";
const wchar_t* const service_description = L"Keeps Orvane.exe running in the session that owns the console.";
const wchar_t* const service_file_name = L"OrvaneService.exe";
const wchar_t* const companion_file_name = L"Orvane.exe";

// The companion gets 20 s after Ctrl-C and the interrupt helper up to 10 s before that; Windows' own
// default since Windows 10 1703 is 10 s, which would cut the companion's grace period short at shutdown.
constexpr DWORD preshutdown_timeout_ms = 60000;

// A crash leaves the console without a companion, so the first restart comes quickly; the later ones
// back off, so a service that crashes at once every time does not hammer the machine; a day without a
// failure forgets the count. The manager repeats the last action for every later failure.
constexpr DWORD first_restart_delay_ms = 5000;
constexpr DWORD second_restart_delay_ms = 30000;
constexpr DWORD later_restart_delay_ms = 60000;
constexpr DWORD failure_count_reset_s = 86400;

// The service's graceful stop takes up to about 30 s (wait hint); 45 s leaves room for a loaded machine.
constexpr DWORD stop_wait_ms = 45000;
constexpr DWORD stop_progress_interval_ms = 5000;
constexpr DWORD stop_poll_interval_ms = 250;

// Not in MinGW-w64's winerror.h.
constexpr DWORD error_elevation_required = 740;

// The accounts that may own and change what LocalSystem runs, besides the installing administrator.
const char* const system_sid = "S-1-5-18";
const char* const administrators_sid = "S-1-5-32-544";
const char* const trusted_installer_sid = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

std::wstring folder_of(const std::wstring& path)
{
    const size_t backslash = path.find_last_of(L'\\');
    return backslash == std::wstring::npos ? std::wstring() : path.substr(0, backslash);
}

// A drive's root cut from a path ("C:") names that drive's current directory; its own path is "C:\".
std::wstring folder_for_query(const std::wstring& folder)
{
    return !folder.empty() && folder.back() == L':' ? folder + L"\\" : folder;
}

// The folders above `folder`, nearest first, down to its drive's root ("C:\") or its share
// ("\\server\share"): whoever may rename one of them could put another tree, programs included, in its place.
std::vector<std::wstring> folders_above(const std::wstring& folder)
{
    std::vector<std::wstring> above;
    // "\\server\share" holds three backslashes; what is above it is no folder.
    const std::ptrdiff_t root_backslashes = folder.rfind(L"\\\\", 0) == 0 ? 3 : 0;
    for (std::wstring next = folder_of(folder);
         !next.empty() && std::count(next.begin(), next.end(), L'\\') >= root_backslashes; next = folder_of(next)) {
        above.push_back(folder_for_query(next));
    }
    return above;
}

DWORD full_path(const wchar_t* given, std::wstring& path)
{
    const DWORD needed = GetFullPathNameW(given, 0, nullptr, nullptr);
    if (needed == 0) {
        return GetLastError();
    }
    std::wstring buffer(needed, L'\0');
    const DWORD length = GetFullPathNameW(given, needed, buffer.data(), nullptr);
    if (length == 0) {
        return GetLastError();
    }
    if (length >= needed) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    buffer.resize(length);
    path = buffer;
    return ERROR_SUCCESS;
}

// OrvaneService.exe in the folder of this program.
DWORD default_service_path(std::wstring& path)
{
    // The longest path Windows takes, so no truncation is possible.
    std::wstring buffer(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) {
        return GetLastError();
    }
    if (length >= buffer.size()) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    buffer.resize(length);
    path = folder_of(buffer) + L"\\" + service_file_name;
    return ERROR_SUCCESS;
}

DWORD require_program(const std::wstring& path, const wchar_t* role)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return report_failure(std::wstring(role) + L" not found at " + quoted(path), error);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return report_failure(quoted(path) + L" is a folder, not the " + role, ERROR_FILE_NOT_FOUND);
    }
    say(std::wstring(role) + L": " + quoted(path));
    return ERROR_SUCCESS;
}

// Everything install needs to know before it touches the service manager: the elevation, both programs,
// and that no one but the trusted accounts may change them or their folders.
DWORD check_before_install(const wchar_t* given_path, std::wstring& service_path)
{
    bool elevated = false;
    std::string user_sid;
    DWORD error = read_installer(elevated, user_sid);
    if (error != ERROR_SUCCESS) {
        return report_failure(L"reading this process's token", error);
    }
    if (!elevated) {
        return report_failure(
            L"this prompt is not elevated; run it from an elevated command prompt (Run as administrator)",
            error_elevation_required);
    }
    say(L"elevated, as " + account_name(user_sid));

    error = given_path != nullptr ? full_path(given_path, service_path) : default_service_path(service_path);
    if (error != ERROR_SUCCESS) {
        return report_failure(L"finding the full path of the service program", error);
    }
    // The service makes the parent of its own folder the current directory and starts Orvane.exe there.
    const std::wstring service_folder = folder_of(service_path);
    const std::wstring companion_folder = folder_of(service_folder);
    if (service_folder.find(L'\\') == std::wstring::npos) {
        return report_failure(quoted(service_path) + L" must sit in a folder below the one of Orvane.exe",
                              ERROR_BAD_PATHNAME);
    }
    const std::wstring companion_path = companion_folder + L"\\" + companion_file_name;
    error = require_program(service_path, L"service program");
    if (error == ERROR_SUCCESS) {
        error = require_program(companion_path, L"companion");
    }
    if (error != ERROR_SUCCESS) {
        return error;
    }

    const std::vector<std::string> trusted = {system_sid, administrators_sid, trusted_installer_sid, user_sid};
    std::vector<std::pair<std::wstring, checked_path>> checked = {
        {service_folder, checked_path::program_or_its_folder},
        {folder_for_query(companion_folder), checked_path::program_or_its_folder},
        {service_path, checked_path::program_or_its_folder},
        {companion_path, checked_path::program_or_its_folder}};
    const std::vector<std::wstring> above = folders_above(companion_folder);
    std::transform(above.begin(), above.end(), std::back_inserter(checked), [](const std::wstring& folder) {
        return std::pair{folder, checked_path::folder_above};
    });
    bool all_safe = true;
    for (const auto& [path, role] : checked) {
        bool safe = false;
        error = check_path_safety(path, role, trusted, safe);
        if (error != ERROR_SUCCESS) {
            return error;
        }
        all_safe = all_safe && safe;
    }
    if (!all_safe) {
        return report_failure(L"refused: put both programs where only administrators may change them, such as "
                              L"C:\\Program Files\\Orvane",
                              ERROR_ACCESS_DENIED);
    }
    return ERROR_SUCCESS;
}

// Looks before registering, so an existing registration is named as such rather than half-overwritten.
DWORD refuse_if_registered(SC_HANDLE manager)
{
    SC_HANDLE existing = nullptr;
    DWORD result = ERROR_SUCCESS;

    existing = OpenServiceW(manager, service_name, SERVICE_QUERY_STATUS);
    if (existing != nullptr) {
        result = report_failure(L"OrvaneService is already registered; run \"OrvaneSetup.exe uninstall\" first",
                                ERROR_SERVICE_EXISTS);
    } else {
        const DWORD error = GetLastError();
        if (error != ERROR_SERVICE_DOES_NOT_EXIST) {
            result = report_failure(L"looking for an earlier registration of OrvaneService", error);
        }
    }
    close_service_handle(&existing);
    return result;
}

// The settings CreateServiceW has no parameter for, through the documented calls that take effect at once.
DWORD configure_service(SC_HANDLE service)
{
    SERVICE_DESCRIPTIONW description = {const_cast<LPWSTR>(service_description)};
    SERVICE_PRESHUTDOWN_INFO preshutdown = {preshutdown_timeout_ms};
    SC_ACTION actions[] = {{SC_ACTION_RESTART, first_restart_delay_ms},
                           {SC_ACTION_RESTART, second_restart_delay_ms},
                           {SC_ACTION_RESTART, later_restart_delay_ms}};
    SERVICE_FAILURE_ACTIONSW failure_actions = {failure_count_reset_s, nullptr, nullptr, 3, actions};
    // Also for a service that stops itself with a non-zero Win32 exit code (a log held by another process,
    // three failed waits in a row); the companion's own stop request ends the service with 0, no failure.
    SERVICE_FAILURE_ACTIONS_FLAG on_non_crash_failures = {TRUE};

    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &description)) {
        return report_last_error(L"setting the description");
    }
    say(L"description: " + std::wstring(service_description));
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown)) {
        return report_last_error(L"setting the pre-shutdown timeout");
    }
    say(L"pre-shutdown timeout: " + std::to_wstring(preshutdown_timeout_ms) + L" ms");
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure_actions)) {
        return report_last_error(L"setting the failure actions");
    }
    say(L"failure actions: restart after " + std::to_wstring(first_restart_delay_ms / 1000) + L" s, then after " +
        std::to_wstring(second_restart_delay_ms / 1000) + L" s, then after " +
        std::to_wstring(later_restart_delay_ms / 1000) + L" s for every later failure; the count starts again after " +
        std::to_wstring(failure_count_reset_s) + L" s without a failure");
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &on_non_crash_failures)) {
        const DWORD error = GetLastError();
        // Wine 8's service manager knows no such setting and fails it with this code; the actions then
        // follow crashes only, which is worth a warning but not a refusal.
        if (error != ERROR_INVALID_LEVEL) {
            return report_failure(L"applying the failure actions to stops with an error code", error);
        }
        say(L"warning: this service manager does not take the failure actions flag (error " + std::to_wstring(error) +
            L": " + error_text(error) + L"); the restarts follow crashes only");
        return ERROR_SUCCESS;
    }
    say(L"failure actions also apply when the service stops itself with a non-zero exit code");
    return ERROR_SUCCESS;
}

// Sends stop (again once a starting service can take it) and waits for stopped, saying so every 5 s.
DWORD stop_and_wait(SC_HANDLE service)
{
    SERVICE_STATUS status = {};
    bool stop_sent = false;
    const ULONGLONG started_ms = GetTickCount64();
    ULONGLONG next_progress_ms = started_ms + stop_progress_interval_ms;

    for (;;) {
        if (!QueryServiceStatus(service, &status)) {
            return report_last_error(L"querying the state of OrvaneService");
        }
        if (status.dwCurrentState == SERVICE_STOPPED) {
            say(L"OrvaneService is stopped");
            return ERROR_SUCCESS;
        }
        if (!stop_sent && status.dwCurrentState == SERVICE_STOP_PENDING) {
            say(L"OrvaneService is already stopping");
            stop_sent = true;
        }
        if (!stop_sent) {
            if (ControlService(service, SERVICE_CONTROL_STOP, &status)) {
                say(L"stopping OrvaneService; it gives the companion up to 20 s to end after Ctrl-C");
                stop_sent = true;
            } else {
                const DWORD error = GetLastError();
                // A service still starting cannot take the stop yet, and one that just stopped needs none.
                if (error != ERROR_SERVICE_CANNOT_ACCEPT_CTRL && error != ERROR_SERVICE_NOT_ACTIVE) {
                    return report_failure(L"stopping OrvaneService", error);
                }
            }
        }
        const ULONGLONG now_ms = GetTickCount64();
        if (now_ms - started_ms >= stop_wait_ms) {
            say(L"OrvaneService did not stop within " + std::to_wstring(stop_wait_ms / 1000) + L" s (state " +
                state_text(status.dwCurrentState) + L"); it stays registered");
            return report_failure(L"uninstall not finished", ERROR_SERVICE_REQUEST_TIMEOUT);
        }
        if (now_ms >= next_progress_ms) {
            say(L"waiting for OrvaneService to stop: " + state_text(status.dwCurrentState) + L" after " +
                std::to_wstring((now_ms - started_ms) / 1000) + L" s of " + std::to_wstring(stop_wait_ms / 1000) +
                L" s");
            next_progress_ms += stop_progress_interval_ms;
        }
        Sleep(stop_poll_interval_ms);
    }
}

} // namespace

DWORD install_service(const wchar_t* given_path)
{
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    std::wstring service_path;

    DWORD result = check_before_install(given_path, service_path);
    if (result == ERROR_SUCCESS) {
        manager = open_service_manager(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE, &result);
    }
    if (result == ERROR_SUCCESS) {
        result = refuse_if_registered(manager);
    }
    if (result == ERROR_SUCCESS) {
        // Quoted, or the manager would try "C:\Program.exe" first for a path with spaces. A null account
        // is LocalSystem, which re-binding the service's token to the console session needs.
        // SERVICE_START: the failure actions' restarts are allowed only through a handle that may start it.
        const std::wstring command = quoted(service_path);
        service = CreateServiceW(manager, service_name, display_name, SERVICE_CHANGE_CONFIG | SERVICE_START | DELETE,
                                 SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(),
                                 nullptr, nullptr, nullptr, nullptr, nullptr);
        if (service == nullptr) {
            result = report_last_error(L"registering OrvaneService");
        } else {
            say(L"registered OrvaneService (\"Orvane Service\"): own process, automatic start, LocalSystem, " +
                command);
        }
    }
    if (result == ERROR_SUCCESS) {
        result = configure_service(service);
        if (result != ERROR_SUCCESS) {
            if (DeleteService(service)) {
                say(L"removed the registration again, since it was incomplete");
            } else {
                report_last_error(
                    L"removing the incomplete registration (remove it with \"OrvaneSetup.exe uninstall\")");
            }
        }
    }
    if (result == ERROR_SUCCESS) {
        say(L"installed; it starts with Windows, or now with \"sc start OrvaneService\"");
    }
    close_service_handle(&service);
    close_service_handle(&manager);
    return result;
}

DWORD uninstall_service()
{
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    DWORD result = ERROR_SUCCESS;

    manager = open_service_manager(SC_MANAGER_CONNECT, &result);
    if (result == ERROR_SUCCESS) {
        service = OpenServiceW(manager, service_name, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
        if (service == nullptr) {
            const DWORD error = GetLastError();
            if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
                say(L"OrvaneService is not registered; nothing to remove");
            } else {
                result = report_failure(L"opening OrvaneService", error);
            }
        }
    }
    if (service != nullptr) {
        result = stop_and_wait(service);
        if (result == ERROR_SUCCESS) {
            if (DeleteService(service)) {
                say(L"removed OrvaneService");
            } else {
                result = report_last_error(L"removing OrvaneService");
            }
        }
    }
    close_service_handle(&service);
    close_service_handle(&manager);
    return result;
}
