// Test double of Orvane.exe: behaves as companion.cfg beside it says and records what it saw in companion.rec.
#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

enum class ctrl_c_action { exit, ignore, delay };

struct behaviour {
    ctrl_c_action on_ctrl_c = ctrl_c_action::exit;
    DWORD ctrl_c_code = 0;
    DWORD ctrl_c_delay_ms = 0;
    DWORD exit_after_ms = 0; // 0: run until stopped
    DWORD exit_code = 0;
    DWORD tick_ms = 0; // 0: no periodic output
    bool grandchild = false;
};

behaviour config;
std::wstring own_path;
std::wstring record_path;

std::wstring beside_me(const wchar_t* name)
{
    const auto slash = own_path.find_last_of(L'\\');
    return own_path.substr(0, slash == std::wstring::npos ? 0 : slash + 1) + name;
}

std::string narrow(const std::wstring& text)
{
    if (text.empty()) {
        return {};
    }
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

// Milliseconds since 1970, the clock the shell scripts read with `date +%s%3N`.
unsigned long long unix_ms()
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    const unsigned long long ticks = (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return ticks / 10000 - 11644473600000ULL;
}

// One tab-separated line per call, appended in a single write so that instances never interleave.
void record(const std::string& event, const std::string& fields = {})
{
    std::string line = event + "\tpid=" + std::to_string(GetCurrentProcessId()) + "\tt=" + std::to_string(unix_ms());
    if (!fields.empty()) {
        line += "\t" + fields;
    }
    line += "\n";
    const HANDLE file =
        CreateFileW(record_path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

// Unbuffered, so that the log holds each line as soon as it is said, even if the process is killed.
void say(DWORD which, const std::string& text)
{
    const std::string line = "orvane-double " + std::to_string(GetCurrentProcessId()) + " " + text + "\r\n";
    DWORD written = 0;
    WriteFile(GetStdHandle(which), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

[[noreturn]] void finish(const char* why, DWORD code)
{
    record("exit", std::string("why=") + why + "\tcode=" + std::to_string(code));
    say(STD_OUTPUT_HANDLE, std::string("exiting (") + why + ") with code " + std::to_string(code));
    ExitProcess(code);
}

BOOL WINAPI on_console_event(DWORD event)
{
    if (event != CTRL_C_EVENT) {
        record("console-event", "type=" + std::to_string(event));
        return FALSE;
    }
    say(STD_OUTPUT_HANDLE, "got Ctrl-C");
    switch (config.on_ctrl_c) {
    case ctrl_c_action::ignore:
        record("ctrlc", "action=ignore");
        return TRUE;
    case ctrl_c_action::delay:
        record("ctrlc", "action=delay");
        Sleep(config.ctrl_c_delay_ms);
        finish("ctrlc", config.ctrl_c_code);
    case ctrl_c_action::exit:
        break;
    }
    record("ctrlc", "action=exit");
    finish("ctrlc", config.ctrl_c_code);
}

DWORD number(const std::string& text)
{
    return static_cast<DWORD>(std::strtoul(text.c_str(), nullptr, 10));
}

// key=value lines; unknown keys and lines starting with '#' are ignored.
void read_config()
{
    FILE* file = _wfopen(beside_me(L"companion.cfg").c_str(), L"rb");
    if (file == nullptr) {
        return;
    }
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, file) != nullptr) {
        std::string line(buffer);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
            line.pop_back();
        }
        const auto equals = line.find('=');
        if (line.empty() || line[0] == '#' || equals == std::string::npos) {
            continue;
        }
        const std::string key = line.substr(0, equals);
        const std::string value = line.substr(equals + 1);
        if (key == "ctrl_c") {
            config.on_ctrl_c = value == "ignore"  ? ctrl_c_action::ignore
                               : value == "delay" ? ctrl_c_action::delay
                                                  : ctrl_c_action::exit;
        } else if (key == "ctrl_c_code") {
            config.ctrl_c_code = number(value);
        } else if (key == "ctrl_c_delay_ms") {
            config.ctrl_c_delay_ms = number(value);
        } else if (key == "exit_after_ms") {
            config.exit_after_ms = number(value);
        } else if (key == "exit_code") {
            config.exit_code = number(value);
        } else if (key == "tick_ms") {
            config.tick_ms = number(value);
        } else if (key == "grandchild") {
            config.grandchild = value == "1";
        }
    }
    std::fclose(file);
}

std::string in_job_field()
{
    BOOL in_job = FALSE;
    if (!IsProcessInJob(GetCurrentProcess(), nullptr, &in_job)) {
        return "job=error" + std::to_string(GetLastError());
    }
    return in_job ? "job=1" : "job=0";
}

// What a standard handle is: none, disk (a file), char (a console or NUL), pipe, or unknown.
std::string handle_kind(DWORD which)
{
    const HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return "none";
    }
    switch (GetFileType(handle)) {
    case FILE_TYPE_DISK:
        return "disk";
    case FILE_TYPE_CHAR:
        return "char";
    case FILE_TYPE_PIPE:
        return "pipe";
    default:
        return "unknown";
    }
}

// The session this process runs in, as the service manager's and status's view of it is judged against.
std::string session_field()
{
    DWORD session = 0;
    if (!ProcessIdToSessionId(GetCurrentProcessId(), &session)) {
        return "session=error" + std::to_string(GetLastError());
    }
    return "session=" + std::to_string(session);
}

// The name of a window station or desktop handle, or "error<code>" when it cannot be read.
std::string object_name(HANDLE object)
{
    wchar_t name[256] = {};
    DWORD needed = 0;
    if (object == nullptr || !GetUserObjectInformationW(object, UOI_NAME, name, sizeof name, &needed)) {
        return "error" + std::to_string(GetLastError());
    }
    return narrow(name);
}

// Where a window of this process would appear: WinSta0\Default is the interactive desktop of its session.
// Neither handle is closed: they belong to the process and the thread, not to this call.
std::string desktop_field()
{
    const std::string station = object_name(GetProcessWindowStation());
    return "desktop=" + station + "\\" + object_name(GetThreadDesktop(GetCurrentThreadId()));
}

// The token's user as a SID string: S-1-5-18 for LocalSystem, the service's own account.
std::string account_field()
{
    HANDLE token = nullptr;
    unsigned char buffer[256] = {};
    DWORD needed = 0;
    wchar_t* sid_text = nullptr;
    std::string field = "account=";
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        field += "error" + std::to_string(GetLastError());
    } else if (!GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &needed)) {
        field += "error" + std::to_string(GetLastError());
    } else if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid_text)) {
        field += "error" + std::to_string(GetLastError());
    } else {
        field += narrow(sid_text);
    }
    if (sid_text != nullptr) {
        LocalFree(sid_text);
        sid_text = nullptr;
    }
    if (token != nullptr) {
        CloseHandle(token);
        token = nullptr;
    }
    return field;
}

std::string seen_fields(const char* role)
{
    wchar_t cwd[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, cwd);
    return std::string("role=") + role + "\t" + in_job_field() + "\tstdin=" + handle_kind(STD_INPUT_HANDLE) +
           "\tstdout=" + handle_kind(STD_OUTPUT_HANDLE) + "\tstderr=" + handle_kind(STD_ERROR_HANDLE) +
           "\tcwd=" + narrow(cwd) + "\t" + session_field() + "\t" + desktop_field() + "\t" + account_field() +
           "\tcmd=" + narrow(GetCommandLineW());
}

// A copy of this program that only records itself and sleeps; it inherits no handles.
void start_grandchild()
{
    std::wstring command = L"\"" + own_path + L"\" grandchild";
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(own_path.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                        &startup, &process)) {
        record("grandchild-failed", "error=" + std::to_string(GetLastError()));
        return;
    }
    record("grandchild", "child=" + std::to_string(process.dwProcessId));
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
}

} // namespace

int main(int argc, char** argv)
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    own_path = path;
    record_path = beside_me(L"companion.rec");

    if (argc == 2 && std::strcmp(argv[1], "grandchild") == 0) {
        record("start", seen_fields("grandchild"));
        for (;;) {
            Sleep(INFINITE);
        }
    }

    read_config();
    // The handler goes in before the start record: once a test sees "start", Ctrl-C reaches it.
    SetConsoleCtrlHandler(on_console_event, TRUE);
    record("start", seen_fields("companion"));
    say(STD_OUTPUT_HANDLE, "hello on stdout");
    say(STD_ERROR_HANDLE, "hello on stderr");
    if (config.grandchild) {
        start_grandchild();
    }

    const ULONGLONG started = GetTickCount64();
    ULONGLONG next_tick = config.tick_ms;
    for (unsigned tick = 1;;) {
        const ULONGLONG elapsed = GetTickCount64() - started;
        if (config.exit_after_ms != 0 && elapsed >= config.exit_after_ms) {
            finish("timer", config.exit_code);
        }
        if (config.tick_ms != 0 && elapsed >= next_tick) {
            say(STD_OUTPUT_HANDLE, "tick " + std::to_string(tick++));
            next_tick += config.tick_ms;
            continue;
        }
        ULONGLONG nap = config.tick_ms != 0 ? next_tick - elapsed : INFINITE;
        if (config.exit_after_ms != 0) {
            nap = std::min<ULONGLONG>(nap, config.exit_after_ms - elapsed);
        }
        Sleep(static_cast<DWORD>(nap));
    }
}
