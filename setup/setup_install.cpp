// The install command: OrvaneService registered with the service manager, or its registration brought up to date.
#include "setup/setup_install.h"

#include "setup/install_checks.h"
#include "setup/service_manager.h"
#include "setup/setup_output.h"
#include "setup/setup_uninstall.h"

namespace {

const wchar_t* const display_name = L"Orvane Service";
const wchar_t* const service_description = L"Keeps Orvane.exe running in the session that owns the console.";
// What CreateServiceW's null account means, as the manager reports it; named so an update sets the same.
const wchar_t* const local_system_account = L"LocalSystem";

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

// SERVICE_START: the failure actions' restarts are allowed only through a handle that may start it.
constexpr DWORD registration_access = SERVICE_CHANGE_CONFIG | SERVICE_START | DELETE;

std::wstring settings_text(const std::wstring& command)
{
    return L"own process, automatic start, LocalSystem, " + command;
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

// Looks before registering, so an existing registration is named as such rather than half-overwritten, and
// one only marked for deletion is not sent to an uninstall that cannot finish it. For the package, a
// registration of this very program is left open in `own`, to be brought up to date.
DWORD look_for_registration(SC_HANDLE manager, const std::wstring& service_path, install_caller caller, SC_HANDLE* own)
{
    SC_HANDLE existing = nullptr;
    DWORD result = ERROR_SUCCESS;

    existing = OpenServiceW(manager, service_name, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG | registration_access);
    if (existing != nullptr) {
        std::wstring program;
        bool marked = false;
        DWORD error = probe_marked_for_deletion(existing, marked);
        if (error == ERROR_SUCCESS && !marked && caller == install_caller::package) {
            error = registered_program(existing, program);
        }
        if (error != ERROR_SUCCESS) {
            result = report_failure(L"looking at the earlier registration of OrvaneService", error);
        } else if (marked) {
            result = report_marked(marked_case::install_met_it, running_process_id(existing));
        } else if (caller == install_caller::by_hand) {
            result = report_failure(L"OrvaneService is already registered; run \"OrvaneSetup.exe uninstall\" first",
                                    ERROR_SERVICE_EXISTS);
        } else if (!is_same_program(program, service_path)) {
            result = report_failure(L"OrvaneService is registered for another program, " + quoted(program) +
                                        L"; left as it is: remove it with \"OrvaneSetup.exe uninstall\" first",
                                    ERROR_SERVICE_EXISTS);
        } else {
            say(L"OrvaneService is registered for this program; bringing its settings up to date");
            *own = existing;
            existing = nullptr;
        }
    } else {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_MARKED_FOR_DELETE) {
            result = report_marked(marked_case::install_met_it, unknown_process_id);
        } else if (error != ERROR_SERVICE_DOES_NOT_EXIST) {
            result = report_failure(L"looking for an earlier registration of OrvaneService", error);
        }
    }
    close_service_handle(&existing);
    return result;
}

// Quoted, or the manager would try "C:\Program.exe" first for a path with spaces. A null account is
// LocalSystem, which re-binding the service's token to the console session needs.
DWORD create_registration(SC_HANDLE manager, const std::wstring& service_path, SC_HANDLE* service)
{
    const std::wstring command = quoted(service_path);
    *service = CreateServiceW(manager, service_name, display_name, registration_access, SERVICE_WIN32_OWN_PROCESS,
                              SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr,
                              nullptr, nullptr);
    if (*service == nullptr) {
        return report_last_error(L"registering OrvaneService");
    }
    say(L"registered OrvaneService (\"Orvane Service\"): " + settings_text(command));
    return ERROR_SUCCESS;
}

// Every setting CreateServiceW takes, as install makes them: no load order group, tag or dependencies, and
// LocalSystem's empty password.
DWORD update_registration(SC_HANDLE service, const std::wstring& service_path)
{
    const std::wstring command = quoted(service_path);
    if (!ChangeServiceConfigW(service, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                              command.c_str(), L"", nullptr, L"", local_system_account, L"", display_name)) {
        return report_last_error(L"updating the registration of OrvaneService");
    }
    say(L"updated the registration of OrvaneService (\"Orvane Service\"): " + settings_text(command));
    return ERROR_SUCCESS;
}

} // namespace

DWORD install_service(const wchar_t* given_path, install_caller caller)
{
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    std::wstring service_path;
    bool created = false;

    DWORD result = check_before_install(given_path, caller == install_caller::by_hand, service_path);
    if (result == ERROR_SUCCESS) {
        manager = open_service_manager(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE, &result);
    }
    if (result == ERROR_SUCCESS) {
        result = look_for_registration(manager, service_path, caller, &service);
    }
    if (result == ERROR_SUCCESS) {
        created = service == nullptr;
        result =
            created ? create_registration(manager, service_path, &service) : update_registration(service, service_path);
    }
    if (result == ERROR_SUCCESS) {
        result = configure_service(service);
        // Only what this run made is taken away again; a registration it was updating stays as it is.
        if (result != ERROR_SUCCESS && created) {
            if (DeleteService(service)) {
                // Deleting only marks it while a handle to it is open, this one's or another program's.
                close_service_handle(&service);
                report_removal(manager, L"removed the registration again, since it was incomplete");
            } else {
                report_last_error(
                    L"removing the incomplete registration (remove it with \"OrvaneSetup.exe uninstall\")");
            }
        }
    }
    if (result == ERROR_SUCCESS) {
        say(caller == install_caller::by_hand
                ? L"installed; it starts with Windows, or now with \"sc start OrvaneService\""
                : L"registered; the package starts it next");
    }
    close_service_handle(&service);
    close_service_handle(&manager);
    return result;
}

DWORD restore_registration(const std::wstring& service_path)
{
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    DWORD result = ERROR_SUCCESS;

    manager = open_service_manager(SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE, &result);
    if (result == ERROR_SUCCESS) {
        service = OpenServiceW(manager, service_name, SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG);
        if (service != nullptr) {
            bool marked = false;
            result = probe_marked_for_deletion(service, marked);
            if (result != ERROR_SUCCESS) {
                result = report_failure(L"looking at the registration of OrvaneService", result);
            } else if (marked) {
                result = report_marked(marked_case::install_met_it, running_process_id(service));
            } else {
                say(L"OrvaneService is registered; nothing to restore");
            }
        } else if (const DWORD error = GetLastError(); error != ERROR_SERVICE_DOES_NOT_EXIST) {
            result = report_failure(L"looking for the registration of OrvaneService", error);
        } else {
            result = create_registration(manager, service_path, &service);
            // A registration without its description or failure actions still runs the service.
            if (result == ERROR_SUCCESS) {
                result = configure_service(service);
            }
        }
    }
    close_service_handle(&service);
    close_service_handle(&manager);
    return result;
}
