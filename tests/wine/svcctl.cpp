// Service-manager client for the Wine tests: queries, controls and waits on a service, printing key=value lines.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

unsigned long long unix_ms()
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    const unsigned long long ticks = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return ticks / 10000 - 11644473600000ULL;
}

void print_status(const char* op, const SERVICE_STATUS& status)
{
    std::printf("%s type=0x%lx state=%lu controls=0x%lx win32=%lu specific=%lu checkpoint=%lu waithint=%lu t=%llu\n",
                op, status.dwServiceType, status.dwCurrentState, status.dwControlsAccepted, status.dwWin32ExitCode,
                status.dwServiceSpecificExitCode, status.dwCheckPoint, status.dwWaitHint, unix_ms());
    std::fflush(stdout);
}

int fail(const char* op)
{
    const DWORD error = GetLastError();
    std::printf("%s error=%lu t=%llu\n", op, error, unix_ms());
    std::fflush(stdout);
    return 1;
}

int usage()
{
    std::fputs("usage: svcctl query|interrogate|config NAME\n"
               "       svcctl start NAME [WAIT_MS]    then watch until running or stopped\n"
               "       svcctl stop NAME [WAIT_MS]     then watch until stopped\n"
               "       svcctl control NAME CODE\n"
               "       svcctl wait NAME STATE TIMEOUT_MS\n"
               "       svcctl watch NAME DURATION_MS\n"
               "       svcctl hold NAME DURATION_MS   keep a handle open, as the Services console does\n",
               stderr);
    return 2;
}

constexpr DWORD start_retry_delay_ms = 1000;

constexpr unsigned state_bit(DWORD state)
{
    return 1U << state;
}

// Prints a status line each time any field changes, polling every 2 ms, until one of the states in
// until_states (a mask of state_bit) is reached or the time is up. Returns 3 on time-out with a mask.
int watch(SC_HANDLE service, DWORD duration_ms, unsigned until_states)
{
    SERVICE_STATUS last = {};
    bool first = true;
    const ULONGLONG end = GetTickCount64() + duration_ms;
    for (;;) {
        SERVICE_STATUS status = {};
        if (!QueryServiceStatus(service, &status)) {
            return fail("watch");
        }
        if (first || std::memcmp(&status, &last, sizeof status) != 0) {
            print_status("watch", status);
            last = status;
            first = false;
        }
        if ((until_states & state_bit(status.dwCurrentState)) != 0) {
            return 0;
        }
        if (GetTickCount64() >= end) {
            return until_states != 0 ? 3 : 0;
        }
        Sleep(2);
    }
}

// The settings beyond QueryServiceConfigW; a query the manager fails prints its error code instead.
int config2(SC_HANDLE service)
{
    // 8 KB: the documented largest answer of QueryServiceConfig2W.
    alignas(SERVICE_FAILURE_ACTIONSW) BYTE buffer[8192] = {};
    DWORD needed = 0;
    if (!QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, buffer, sizeof buffer, &needed)) {
        return fail("config description");
    }
    const auto* description = reinterpret_cast<const SERVICE_DESCRIPTIONW*>(buffer);
    std::printf("config description=%ls\n", description->lpDescription != nullptr ? description->lpDescription : L"");
    if (!QueryServiceConfig2W(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, buffer, sizeof buffer, &needed)) {
        return fail("config preshutdown");
    }
    std::printf("config preshutdown=%lu\n",
                reinterpret_cast<const SERVICE_PRESHUTDOWN_INFO*>(buffer)->dwPreshutdownTimeout);
    if (!QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, buffer, sizeof buffer, &needed)) {
        std::printf("config failure_actions error=%lu\n", GetLastError());
    } else {
        const auto* failure = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(buffer);
        std::printf("config failure_actions reset=%lu actions=", failure->dwResetPeriod);
        for (DWORD i = 0; i < failure->cActions; ++i) {
            std::printf("%s%d/%lu", i == 0 ? "" : ",", static_cast<int>(failure->lpsaActions[i].Type),
                        failure->lpsaActions[i].Delay);
        }
        std::printf("\n");
    }
    if (!QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, buffer, sizeof buffer, &needed)) {
        std::printf("config failure_actions_flag error=%lu\n", GetLastError());
    } else {
        std::printf("config failure_actions_flag=%d\n",
                    reinterpret_cast<const SERVICE_FAILURE_ACTIONS_FLAG*>(buffer)->fFailureActionsOnNonCrashFailures);
    }
    return 0;
}

int config(SC_HANDLE service)
{
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    std::string buffer(needed, '\0');
    auto* cfg = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service, cfg, needed, &needed)) {
        return fail("config");
    }
    std::printf("config type=0x%lx start=%lu error_control=%lu\n", cfg->dwServiceType, cfg->dwStartType,
                cfg->dwErrorControl);
    std::printf("config account=%ls\n", cfg->lpServiceStartName != nullptr ? cfg->lpServiceStartName : L"");
    std::printf("config binpath=%ls\n", cfg->lpBinaryPathName != nullptr ? cfg->lpBinaryPathName : L"");
    std::printf("config display=%ls\n", cfg->lpDisplayName != nullptr ? cfg->lpDisplayName : L"");
    return config2(service);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        return usage();
    }
    const std::string op = argv[1];
    const SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        return fail("open-manager");
    }
    const SC_HANDLE service = OpenServiceA(manager, argv[2], SERVICE_ALL_ACCESS);
    if (service == nullptr) {
        return fail(op.c_str());
    }
    SERVICE_STATUS status = {};
    if (op == "query") {
        if (!QueryServiceStatus(service, &status)) {
            return fail("query");
        }
        print_status("query", status);
        return 0;
    }
    if (op == "interrogate" || op == "stop" || (op == "control" && argc == 4)) {
        const DWORD code = op == "interrogate" ? SERVICE_CONTROL_INTERROGATE
                           : op == "stop"      ? SERVICE_CONTROL_STOP
                                               : static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10));
        if (!ControlService(service, code, &status)) {
            return fail(op.c_str());
        }
        print_status(op.c_str(), status);
        if (op == "stop" && argc == 4) {
            return watch(service, static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10)), state_bit(SERVICE_STOPPED));
        }
        return 0;
    }
    if (op == "start") {
        if (!StartServiceA(service, 0, nullptr)) {
            // Wine's service manager has been seen (rarely, on a loaded machine, in a prefix whose
            // session had just started) to refuse a start with ERROR_INTERNAL_ERROR before it ran the
            // service at all. Only that case is retried, once, and it is said on its own line so the
            // callers can show it; anything else, or a service that did run, is a real failure.
            const DWORD error = GetLastError();
            if (error != ERROR_INTERNAL_ERROR || !QueryServiceStatus(service, &status) ||
                status.dwCurrentState != SERVICE_STOPPED) {
                SetLastError(error);
                return fail("start");
            }
            std::printf("retry start error=%lu t=%llu\n", error, unix_ms());
            std::fflush(stdout);
            Sleep(start_retry_delay_ms);
            if (!StartServiceA(service, 0, nullptr)) {
                return fail("start");
            }
        }
        // What an administrator sees as soon as the manager has accepted the start.
        if (!QueryServiceStatus(service, &status)) {
            return fail("start");
        }
        print_status("start", status);
        if (argc == 4) {
            return watch(service, static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10)),
                         state_bit(SERVICE_RUNNING) | state_bit(SERVICE_STOPPED));
        }
        return 0;
    }
    if (op == "config") {
        return config(service);
    }
    if (op == "wait" && argc == 5) {
        return watch(service, static_cast<DWORD>(std::strtoul(argv[4], nullptr, 10)),
                     state_bit(static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10)) & 31U));
    }
    if (op == "hold" && argc == 4) {
        std::printf("hold pid=%lu t=%llu\n", GetCurrentProcessId(), unix_ms());
        std::fflush(stdout);
        Sleep(static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10)));
        return 0;
    }
    if (op == "watch" && argc == 4) {
        return watch(service, static_cast<DWORD>(std::strtoul(argv[3], nullptr, 10)), 0);
    }
    return usage();
}
