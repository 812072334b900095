// `OrvaneSetup.exe status`: how OrvaneService is registered, its companions, the console session, one verdict.
#include "setup/setup_status.h"

#include "setup/service_manager.h"
#include "setup/setup_output.h"
#include "setup/status_judgement.h"

#include <tlhelp32.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

// A companion that ends is started again 3 s later, so one look may fall into that gap; 4 s covers the
// gap and the launch.
constexpr DWORD second_look_ms = 4000;
constexpr DWORD second_look_interval_ms = 250;

// FILETIME counts 100 ns ticks.
constexpr ULONGLONG filetime_ticks_per_s = 10000000;

const wchar_t* start_type_name(DWORD start_type)
{
    switch (start_type) {
    case SERVICE_BOOT_START:
        return L"boot";
    case SERVICE_SYSTEM_START:
        return L"system";
    case SERVICE_AUTO_START:
        return L"automatic";
    case SERVICE_DEMAND_START:
        return L"manual";
    case SERVICE_DISABLED:
        return L"disabled";
    default:
        return L"unknown";
    }
}

const wchar_t* action_name(SC_ACTION_TYPE type)
{
    switch (type) {
    case SC_ACTION_NONE:
        return L"none";
    case SC_ACTION_RESTART:
        return L"restart";
    case SC_ACTION_REBOOT:
        return L"reboot";
    case SC_ACTION_RUN_COMMAND:
        return L"run the command";
    default:
        return L"unknown action";
    }
}

DWORD print_failure_actions(SC_HANDLE service)
{
    alignas(SERVICE_FAILURE_ACTIONSW) BYTE buffer[config_buffer_bytes] = {};
    DWORD needed = 0;

    if (!QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, buffer, sizeof buffer, &needed)) {
        const DWORD error = GetLastError();
        // Wine 8 stores no failure actions and fails their query with this code.
        if (error != ERROR_INVALID_LEVEL) {
            return report_failure(L"querying the failure actions", error);
        }
        say(L"failure actions: not reported by this service manager (error " + std::to_wstring(error) + L": " +
            error_text(error) + L")");
        return ERROR_SUCCESS;
    }
    const auto* failure_actions = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(buffer);
    std::wstring line = L"failure actions:";
    for (DWORD i = 0; i < failure_actions->cActions; ++i) {
        const SC_ACTION& action = failure_actions->lpsaActions[i];
        line += std::wstring(i == 0 ? L" " : L", then ") + action_name(action.Type) + L" after " +
                std::to_wstring(action.Delay) + L" ms";
    }
    if (failure_actions->cActions == 0) {
        line += L" none";
    }
    say(line + L"; failure count reset after " + std::to_wstring(failure_actions->dwResetPeriod) + L" s");
    return ERROR_SUCCESS;
}

DWORD print_status(SC_HANDLE service)
{
    SERVICE_STATUS_PROCESS process = {};
    alignas(QUERY_SERVICE_CONFIGW) BYTE config_buffer[config_buffer_bytes] = {};
    SERVICE_PRESHUTDOWN_INFO preshutdown = {};
    DWORD needed = 0;

    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&process), sizeof process,
                              &needed)) {
        return report_last_error(L"querying the state of OrvaneService");
    }
    say(L"state: " + state_text(process.dwCurrentState));
    say(L"process id: " + std::to_wstring(process.dwProcessId));

    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config_buffer);
    if (!QueryServiceConfigW(service, config, sizeof config_buffer, &needed)) {
        return report_last_error(L"querying the configuration of OrvaneService");
    }
    say(L"binary path: " + std::wstring(config->lpBinaryPathName != nullptr ? config->lpBinaryPathName : L""));
    say(L"start type: " + std::wstring(start_type_name(config->dwStartType)) + L" (" +
        std::to_wstring(config->dwStartType) + L")");
    say(L"account: " + std::wstring(config->lpServiceStartName != nullptr ? config->lpServiceStartName : L""));

    if (!QueryServiceConfig2W(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, reinterpret_cast<LPBYTE>(&preshutdown),
                              sizeof preshutdown, &needed)) {
        return report_last_error(L"querying the pre-shutdown timeout");
    }
    say(L"pre-shutdown timeout: " + std::to_wstring(preshutdown.dwPreshutdownTimeout) + L" ms");
    return print_failure_actions(service);
}

// An Orvane.exe of the service's and what its line needs besides the judged facts.
struct seen_companion {
    companion_fact fact;
    DWORD session_error;
};

// A snapshot's sentinel is INVALID_HANDLE_VALUE, not null; marked so once closed.
void close_snapshot(HANDLE* snapshot)
{
    if (*snapshot != INVALID_HANDLE_VALUE) {
        CloseHandle(*snapshot);
        *snapshot = INVALID_HANDLE_VALUE;
    }
}

// The Orvane.exe processes whose parent is the service's process; the snapshot's error, or 0.
DWORD list_companions(DWORD service_process_id, std::vector<seen_companion>& companions)
{
    HANDLE snapshot = INVALID_HANDLE_VALUE;
    PROCESSENTRY32W entry = {};
    DWORD result = ERROR_SUCCESS;

    snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        result = report_last_error(L"listing the processes");
    } else {
        entry.dwSize = sizeof entry;
        BOOL more = Process32FirstW(snapshot, &entry);
        while (more) {
            // A parent's id is only a number and ids are reused, but the service's kill-on-close job ends its
            // companions with it, so no Orvane.exe of an earlier service process can carry the current one's id.
            if (entry.th32ParentProcessID == service_process_id &&
                _wcsicmp(entry.szExeFile, companion_file_name) == 0) {
                DWORD session_id = 0;
                seen_companion companion = {{entry.th32ProcessID, true, 0}, ERROR_SUCCESS};
                if (ProcessIdToSessionId(entry.th32ProcessID, &session_id)) {
                    companion.fact.session_id = session_id;
                } else {
                    companion.session_error = GetLastError();
                    companion.fact.session_known = false;
                }
                companions.push_back(companion);
            }
            more = Process32NextW(snapshot, &entry);
        }
        const DWORD error = GetLastError();
        if (error != ERROR_NO_MORE_FILES) {
            result = report_failure(L"listing the processes", error);
        }
    }
    close_snapshot(&snapshot);
    return result;
}

// One look: the service's state and process, its companions, the console session. A failed call is told
// and left in `listing_error`, so the registration already printed still stands.
void look(SC_HANDLE service, status_facts& facts, std::vector<seen_companion>& companions)
{
    SERVICE_STATUS_PROCESS process = {};
    DWORD needed = 0;

    companions.clear();
    facts.companions.clear();
    facts.listing_error = ERROR_SUCCESS;
    facts.console_session = WTSGetActiveConsoleSessionId();
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&process), sizeof process,
                              &needed)) {
        facts.listing_error = report_last_error(L"querying the state of OrvaneService again");
        return;
    }
    facts.service_state = process.dwCurrentState;
    // A service without a process (stopped) has no companions; id 0 is the idle process's.
    if (process.dwProcessId != 0) {
        facts.listing_error = list_companions(process.dwProcessId, companions);
    }
    for (const seen_companion& companion : companions) {
        facts.companions.push_back(companion.fact);
    }
}

// "2 h 5 min 7 s", leading zero units left out.
std::wstring duration_text(ULONGLONG seconds)
{
    const ULONGLONG days = seconds / 86400;
    const ULONGLONG hours = seconds / 3600 % 24;
    const ULONGLONG minutes = seconds / 60 % 60;
    std::wstring text;
    if (days != 0) {
        text += std::to_wstring(days) + L" d ";
    }
    if (days != 0 || hours != 0) {
        text += std::to_wstring(hours) + L" h ";
    }
    if (days != 0 || hours != 0 || minutes != 0) {
        text += std::to_wstring(minutes) + L" min ";
    }
    return text + std::to_wstring(seconds % 60) + L" s";
}

ULONGLONG ticks_of(const FILETIME& time)
{
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32U) | time.dwLowDateTime;
}

// How long the process has run, or why that cannot be told: a companion runs as LocalSystem, and a
// process that is not elevated may not open it even for the limited query.
std::wstring run_time_text(DWORD process_id)
{
    HANDLE process = nullptr;
    FILETIME created = {};
    FILETIME exited = {};
    FILETIME kernel = {};
    FILETIME user = {};
    FILETIME now = {};
    std::wstring text;

    process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id);
    if (process == nullptr) {
        const DWORD error = GetLastError();
        text = std::wstring(L"run time unknown: it cannot be opened") +
               (error == ERROR_ACCESS_DENIED ? L" without elevation" : L"") + L" (error " + std::to_wstring(error) +
               L": " + error_text(error) + L")";
    } else if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) {
        const DWORD error = GetLastError();
        text = L"run time unknown (error " + std::to_wstring(error) + L": " + error_text(error) + L")";
    } else {
        GetSystemTimeAsFileTime(&now);
        // A clock set back since the start would give a negative time.
        const ULONGLONG elapsed = ticks_of(now) > ticks_of(created) ? ticks_of(now) - ticks_of(created) : 0;
        text = L"running for " + duration_text(elapsed / filetime_ticks_per_s);
    }
    if (process != nullptr) {
        CloseHandle(process);
        process = nullptr;
    }
    return text;
}

void print_companions(const status_facts& facts, const std::vector<seen_companion>& companions)
{
    for (const seen_companion& companion : companions) {
        const DWORD process_id = companion.fact.process_id;
        std::wstring line = L"companion: process id " + std::to_wstring(process_id) + L", ";
        if (companion.fact.session_known) {
            line += L"session " + std::to_wstring(companion.fact.session_id);
        } else {
            line += L"session unknown (error " + std::to_wstring(companion.session_error) + L": " +
                    error_text(companion.session_error) + L")";
        }
        say(line + L", " + run_time_text(process_id));
    }
    if (companions.empty() && facts.listing_error == ERROR_SUCCESS) {
        say(L"companion: none of OrvaneService's own");
    }
    if (facts.console_session == console_session_none) {
        say(L"console session: none, no session owns the console");
    } else {
        say(L"console session: " + std::to_wstring(facts.console_session));
    }
}

DWORD print_verdict(const status_facts& facts)
{
    const status_judgement judgement = judge_status(facts);
    say(L"verdict: " + from_utf8(judgement.text) + L" (exit code " + std::to_wstring(judgement.exit_code) + L")");
    return judgement.exit_code;
}

// The companions, looked for again for up to 4 s before "no companion" is judged, then the verdict.
DWORD report_companions(SC_HANDLE service)
{
    status_facts facts = {true, 0, ERROR_SUCCESS, {}, console_session_none};
    std::vector<seen_companion> companions;

    look(service, facts, companions);
    if (judge_status(facts).verdict == status_verdict::no_companion) {
        say(L"no companion found; looking again for up to " + std::to_wstring(second_look_ms / 1000) +
            L" s, since one that ended is started again 3 s later");
        const ULONGLONG started_ms = GetTickCount64();
        while (judge_status(facts).verdict == status_verdict::no_companion &&
               GetTickCount64() - started_ms < second_look_ms) {
            Sleep(second_look_interval_ms);
            look(service, facts, companions);
        }
    }
    print_companions(facts, companions);
    return print_verdict(facts);
}

} // namespace

DWORD report_service_status()
{
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    DWORD result = ERROR_SUCCESS;

    // Connect and query rights only, so any user may look.
    manager = open_service_manager(SC_MANAGER_CONNECT, &result);
    if (result == ERROR_SUCCESS) {
        service = OpenServiceW(manager, service_name, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG);
        if (service == nullptr) {
            result = report_last_error(L"opening OrvaneService");
            if (result == ERROR_SERVICE_DOES_NOT_EXIST) {
                result = print_verdict({false, 0, ERROR_SUCCESS, {}, console_session_none});
            }
        }
    }
    if (result == ERROR_SUCCESS) {
        result = print_status(service);
    }
    if (result == ERROR_SUCCESS) {
        result = report_companions(service);
    }
    close_service_handle(&service);
    close_service_handle(&manager);
    return result;
}
