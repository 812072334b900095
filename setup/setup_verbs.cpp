// The installer's commands that change the registration: register OrvaneService, stop and remove it.
#include "setup/setup_verbs.h"

#include "setup/install_judgement.h"
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

// The manager removes a deleted service when the last handle to it closes; a reopen right after our own
// close may still find it for a moment, so uninstall looks again for this long before it says "marked".
constexpr DWORD removal_settle_ms = 1000;

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

// The programs and folders install judges for a service program at service_path, the programs and their
// folders first, then the folders above, nearest first.
std::vector<std::pair<std::wstring, checked_path>> layout_paths(const std::wstring& service_path)
{
    // The service makes the parent of its own folder the current directory and starts Orvane.exe there.
    const std::wstring service_folder = folder_of(service_path);
    const std::wstring companion_folder = folder_of(service_folder);
    std::vector<std::pair<std::wstring, checked_path>> checked = {
        {service_folder, checked_path::program_or_its_folder},
        {folder_for_query(companion_folder), checked_path::program_or_its_folder},
        {service_path, checked_path::program_or_its_folder},
        {companion_folder + L"\\" + companion_file_name, checked_path::program_or_its_folder}};
    const std::vector<std::wstring> above = folders_above(companion_folder);
    std::transform(above.begin(), above.end(), std::back_inserter(checked), [](const std::wstring& folder) {
        return std::pair{folder, checked_path::folder_above};
    });
    return checked;
}

std::vector<std::wstring> paths_of(const std::vector<std::pair<std::wstring, checked_path>>& layout)
{
    std::vector<std::wstring> paths;
    std::transform(layout.begin(), layout.end(), std::back_inserter(paths),
                   [](const auto& entry) { return entry.first; });
    return paths;
}

std::wstring too_long_text(const std::wstring& path)
{
    return quoted(path) + L" is " + std::to_wstring(path.size()) + L" characters long; the service takes a path of " +
           std::to_wstring(service_path_limit_chars - 1) +
           L" at most for its own program: put the programs in a folder with a shorter path";
}

// The path the service manager will start: the named one with links followed, short names expanded and a
// subst drive replaced, on a disk of this machine and short enough for the service to hold.
DWORD resolve_service_path(const std::wstring& named_path, std::wstring& resolved)
{
    // A path named this long would be cut by the service too, whatever it resolves to.
    if (without_long_path_prefix(named_path).size() >= service_path_limit_chars) {
        return report_failure(too_long_text(without_long_path_prefix(named_path)), ERROR_FILENAME_EXCED_RANGE);
    }
    DWORD error = final_path(named_path, resolved);
    if (error != ERROR_SUCCESS) {
        return report_failure(L"finding the final path of " + quoted(named_path), error);
    }
    const std::wstring root = drive_root(resolved);
    const UINT drive_type = root.empty() ? DRIVE_UNKNOWN : GetDriveTypeW(root.c_str());
    switch (judge_service_path(resolved, drive_type)) {
    case path_finding::fine:
        say(L"final path: " + quoted(resolved) + L", on a disk of this machine");
        return ERROR_SUCCESS;
    case path_finding::unc:
        // Share permissions are never read, and the share's access list trusts the file server's administrators.
        return report_failure(quoted(named_path) + L" is on a network share (" + quoted(resolved) +
                                  L"), whose permissions this machine does not control; put the programs on a "
                                  L"disk of this machine",
                              ERROR_NOT_SUPPORTED);
    case path_finding::not_fixed_drive:
        // A mapped drive of the elevated prompt does not exist in LocalSystem's logon session, and a removable
        // one may be gone at the next boot.
        return report_failure(quoted(named_path) + L" is on " + root + L", which is not a fixed disk of this machine " +
                                  L"(drive type " + std::to_wstring(drive_type) +
                                  L"); put the programs on a disk of this machine",
                              ERROR_NOT_SUPPORTED);
    case path_finding::too_long:
        return report_failure(too_long_text(resolved), ERROR_FILENAME_EXCED_RANGE);
    }
    return ERROR_SUCCESS;
}

// The service starts Orvane.exe in the parent of its own folder, so its program may not sit in a drive's root.
DWORD require_folder_below(const std::wstring& path)
{
    if (folder_of(without_long_path_prefix(path)).find(L'\\') == std::wstring::npos) {
        return report_failure(quoted(path) + L" must sit in a folder below the one of Orvane.exe", ERROR_BAD_PATHNAME);
    }
    return ERROR_SUCCESS;
}

// Everything install needs to know before it touches the service manager: the elevation, both programs,
// where they really are, and that no one but the trusted accounts may change them or their folders.
DWORD check_before_install(const wchar_t* given_path, std::wstring& service_path)
{
    bool elevated = false;
    std::string user_sid;
    std::wstring named_path;
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

    error = given_path != nullptr ? full_path(given_path, named_path) : default_service_path(named_path);
    if (error != ERROR_SUCCESS) {
        return report_failure(L"finding the full path of the service program", error);
    }
    const std::wstring named = without_long_path_prefix(named_path);
    error = require_folder_below(named_path);
    if (error == ERROR_SUCCESS) {
        error = require_program(named_path, L"service program");
    }
    if (error == ERROR_SUCCESS) {
        error = resolve_service_path(named_path, service_path);
    }
    // Links in the path as named, and any left in the final one (a folder where a volume is mounted).
    if (error == ERROR_SUCCESS) {
        std::vector<std::wstring> links = paths_of(layout_paths(named));
        if (named != service_path) {
            const std::vector<std::wstring> final_paths = paths_of(layout_paths(service_path));
            links.insert(links.end(), final_paths.begin(), final_paths.end());
        }
        error = refuse_reparse_points(links, service_path);
    }
    // The final path is the one registered, so it is held to the same rule.
    if (error == ERROR_SUCCESS) {
        error = require_folder_below(service_path);
    }
    if (error == ERROR_SUCCESS) {
        error = require_program(folder_of(folder_of(service_path)) + L"\\" + companion_file_name, L"companion");
    }
    if (error != ERROR_SUCCESS) {
        return error;
    }
    const std::vector<std::pair<std::wstring, checked_path>> checked = layout_paths(service_path);

    const std::vector<std::string> trusted = {system_sid, administrators_sid, trusted_installer_sid, user_sid};
    // Run as SYSTEM (a Windows Installer package's deferred action) there is no filtered token to warn about.
    const bool own_account_counts = std::find(trusted.begin(), trusted.end() - 1, user_sid) == trusted.end() - 1;
    bool all_safe = true;
    bool installer_trusted = false;
    for (const auto& [path, role] : checked) {
        bool safe = false;
        bool trusts_installer = false;
        error = check_path_safety(path, role, trusted, own_account_counts ? user_sid : std::string(), safe,
                                  trusts_installer);
        if (error != ERROR_SUCCESS) {
            return error;
        }
        all_safe = all_safe && safe;
        installer_trusted = installer_trusted || trusts_installer;
    }
    if (!all_safe) {
        return report_failure(L"refused: put both programs where only administrators may change them, such as "
                              L"C:\\Program Files\\Orvane",
                              ERROR_ACCESS_DENIED);
    }
    if (installer_trusted) {
        // Files moved from the administrator's own folders keep the entries they had there; copies take the
        // permissions of the folder they are copied into.
        say(L"warning: UAC keeps your own account in the token of every program you start without elevation, so "
            L"any of them could replace what runs as LocalSystem here; give the programs' folder its inherited "
            L"permissions back with icacls " +
            quoted(folder_for_query(folder_of(folder_of(service_path)))) +
            L" /reset /t (and /setowner *S-1-5-32-544 /t where it names you owner), or copy the files into place "
            L"instead of moving them");
    }
    return ERROR_SUCCESS;
}

// The manager refuses even a change of nothing with 1072 for a service marked for deletion: the one way to
// ask whether it is. Needs SERVICE_CHANGE_CONFIG.
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

// The service's process id while it runs, 0 once stopped or when the manager does not say.
DWORD running_process_id(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS process = {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&process), sizeof process,
                              &needed) ||
        process.dwCurrentState == SERVICE_STOPPED) {
        return 0;
    }
    return process.dwProcessId;
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

// Looks before registering, so an existing registration is named as such rather than half-overwritten, and
// one only marked for deletion is not sent to an uninstall that cannot finish it.
DWORD refuse_if_registered(SC_HANDLE manager)
{
    SC_HANDLE existing = nullptr;
    DWORD result = ERROR_SUCCESS;

    existing = OpenServiceW(manager, service_name, SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG);
    if (existing != nullptr) {
        bool marked = false;
        const DWORD error = probe_marked_for_deletion(existing, marked);
        if (error != ERROR_SUCCESS) {
            result = report_failure(L"looking at the earlier registration of OrvaneService", error);
        } else if (marked) {
            result = report_marked(marked_case::install_met_it, running_process_id(existing));
        } else {
            result = report_failure(L"OrvaneService is already registered; run \"OrvaneSetup.exe uninstall\" first",
                                    ERROR_SERVICE_EXISTS);
        }
    } else {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_MARKED_FOR_DELETE) {
            result = report_marked(marked_case::install_met_it, 0);
        } else if (error != ERROR_SERVICE_DOES_NOT_EXIST) {
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
    // Documented to take effect at the next system start, unlike the actions themselves.
    say(L"failure actions also apply when the service stops itself with a non-zero exit code, from the next "
        L"system start on");
    return ERROR_SUCCESS;
}

// Sends stop (again once a starting service can take it) and waits for stopped, saying so every 5 s. A
// service still running after 45 s is marked for deletion, so that its failure actions do not restart it
// when its process is ended and the manager does not start it at the next boot.
DWORD stop_and_wait(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS status = {};
    SERVICE_STATUS control_status = {};
    DWORD needed = 0;
    bool stop_sent = false;
    const ULONGLONG started_ms = GetTickCount64();
    ULONGLONG next_progress_ms = started_ms + stop_progress_interval_ms;

    for (;;) {
        if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status), sizeof status,
                                  &needed)) {
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
            if (ControlService(service, SERVICE_CONTROL_STOP, &control_status)) {
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
                state_text(status.dwCurrentState) + L", process id " + std::to_wstring(status.dwProcessId) + L")");
            if (!DeleteService(service)) {
                report_last_error(L"marking OrvaneService for deletion; it stays registered");
                return report_failure(L"uninstall not finished", ERROR_SERVICE_REQUEST_TIMEOUT);
            }
            return report_marked(marked_case::stop_timed_out, status.dwProcessId);
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

// After DeleteService and the close of uninstall's own handle: gone, or still held open by another program.
DWORD report_removal(SC_HANDLE manager)
{
    SC_HANDLE service = nullptr;
    DWORD result = ERROR_SUCCESS;
    bool marked = false;
    const ULONGLONG started_ms = GetTickCount64();

    for (;;) {
        service = OpenServiceW(manager, service_name, SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG);
        DWORD error = service == nullptr ? GetLastError() : probe_marked_for_deletion(service, marked);
        close_service_handle(&service);
        // Some releases may refuse the open itself of a service marked for deletion.
        if (error == ERROR_SERVICE_MARKED_FOR_DELETE) {
            error = ERROR_SUCCESS;
            marked = true;
        }
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            say(L"removed OrvaneService");
            break;
        }
        if (error != ERROR_SUCCESS) {
            result = report_failure(L"looking whether OrvaneService is gone", error);
            break;
        }
        if (!marked) {
            result = report_failure(L"OrvaneService is still registered after its deletion", fallback_error);
            break;
        }
        if (GetTickCount64() - started_ms >= removal_settle_ms) {
            result = report_marked(marked_case::uninstall_marked_it, 0);
            break;
        }
        Sleep(stop_poll_interval_ms);
    }
    return result;
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
        service =
            OpenServiceW(manager, service_name, SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG | DELETE);
        if (service == nullptr) {
            const DWORD error = GetLastError();
            if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
                say(L"OrvaneService is not registered; nothing to remove");
            } else if (error == ERROR_SERVICE_MARKED_FOR_DELETE) {
                result = report_marked(marked_case::uninstall_met_it, 0);
            } else {
                result = report_failure(L"opening OrvaneService", error);
            }
        }
    }
    if (service != nullptr) {
        bool marked = false;
        result = probe_marked_for_deletion(service, marked);
        if (result != ERROR_SUCCESS) {
            result = report_failure(L"looking at the registration of OrvaneService", result);
        } else if (marked) {
            result = report_marked(marked_case::uninstall_met_it, running_process_id(service));
        } else {
            result = stop_and_wait(service);
            if (result == ERROR_SUCCESS) {
                if (DeleteService(service)) {
                    // Deleting only marks the service while any handle to it is open, our own included.
                    close_service_handle(&service);
                    result = report_removal(manager);
                } else {
                    result = report_last_error(L"removing OrvaneService");
                }
            }
        }
    }
    close_service_handle(&service);
    close_service_handle(&manager);
    return result;
}
