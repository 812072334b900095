// Process tool for the Wine tests: runs, spawns, watches and kills processes and prints their full exit codes.
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

constexpr DWORD run_retry_delay_ms = 500;

int fail(const char* op)
{
    const DWORD error = GetLastError();
    std::printf("%s error=%lu t=%llu\n", op, error, unix_ms());
    std::fflush(stdout);
    return 1;
}

// Quotes one argument the way the C runtime splits it again: backslashes double only before a quote.
void append_argument(std::string& line, const std::string& argument)
{
    if (!line.empty()) {
        line += ' ';
    }
    if (!argument.empty() && argument.find_first_of(" \t\"") == std::string::npos) {
        line += argument;
        return;
    }
    line += '"';
    size_t backslashes = 0;
    for (const char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        line.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, '\\');
    line += '"';
}

DWORD number(const char* text)
{
    return static_cast<DWORD>(std::strtoul(text, nullptr, 10));
}

int usage()
{
    std::fputs("usage: proctool run [--detached|--nowindow] EXE [ARGS...]   wait and print exit=CODE\n"
               "       proctool spawn EXE [ARGS...]                          start without a window, print pid=N\n"
               "       proctool pair [--console] TARGET READY_MS -- EXE [ARGS...]\n"
               "                     run EXE against TARGET's {pid}, detached or in this console\n"
               "       proctool alive PID | waitexit PID TIMEOUT_MS | kill PID CODE\n"
               "       proctool hold FILE MS                                 keep FILE open, unshared\n"
               "       proctool version FILE                                 its version resource's strings\n",
               stderr);
    return 2;
}

bool start(int argc, char** argv, DWORD flags, PROCESS_INFORMATION& process)
{
    std::string line;
    for (int i = 0; i < argc; ++i) {
        append_argument(line, argv[i]);
    }
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    return CreateProcessA(argv[0], line.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr, &startup, &process) !=
           FALSE;
}

int run(int argc, char** argv)
{
    DWORD flags = 0;
    if (argc > 0 && std::strcmp(argv[0], "--detached") == 0) {
        flags = DETACHED_PROCESS;
        ++argv;
        --argc;
    } else if (argc > 0 && std::strcmp(argv[0], "--nowindow") == 0) {
        flags = CREATE_NO_WINDOW;
        ++argv;
        --argc;
    }
    if (argc < 1) {
        return usage();
    }
    PROCESS_INFORMATION process = {};
    const unsigned long long started = unix_ms();
    if (!start(argc, argv, flags, process)) {
        // Wine has been seen (once, on a loaded machine, right after a prefix's server was restarted) to refuse
        // a process creation with ERROR_INTERNAL_ERROR, as its service manager refuses a first start. Only that
        // case is retried, once, on a line of its own so the scenarios can show it.
        const DWORD error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR) {
            SetLastError(error);
            return fail("run");
        }
        std::printf("retry run error=%lu t=%llu\n", error, unix_ms());
        std::fflush(stdout);
        Sleep(run_retry_delay_ms);
        if (!start(argc, argv, flags, process)) {
            return fail("run");
        }
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    std::printf("run pid=%lu exit=%lu t0=%llu t=%llu\n", process.dwProcessId, code, started, unix_ms());
    return 0;
}

int spawn(int argc, char** argv)
{
    if (argc < 1) {
        return usage();
    }
    PROCESS_INFORMATION process = {};
    if (!start(argc, argv, CREATE_NO_WINDOW, process)) {
        return fail("spawn");
    }
    std::printf("spawn pid=%lu t=%llu\n", process.dwProcessId, unix_ms());
    return 0;
}

// Starts TARGET without a window, then after READY_MS runs a command whose "{pid}" arguments name it, then
// reports how the target ended. Both are children of this process: Wine raises Ctrl-C for process group 0
// only in the caller's own process group, which children inherit, as they do under the service.
int pair(int argc, char** argv)
{
    // --console: the command shares this process's console, as a command typed at a prompt does.
    DWORD command_flags = DETACHED_PROCESS;
    if (argc > 0 && std::strcmp(argv[0], "--console") == 0) {
        command_flags = 0;
        ++argv;
        --argc;
    }
    if (argc < 4 || std::strcmp(argv[2], "--") != 0) {
        return usage();
    }
    PROCESS_INFORMATION target = {};
    if (!start(1, argv, CREATE_NO_WINDOW, target)) {
        return fail("pair-spawn");
    }
    std::printf("spawn pid=%lu t=%llu\n", target.dwProcessId, unix_ms());
    std::fflush(stdout);
    Sleep(number(argv[1]));

    const std::string pid = std::to_string(target.dwProcessId);
    char** command = argv + 3;
    const int count = argc - 3;
    std::string storage[16];
    char* arguments[16] = {};
    if (count > 16) {
        return usage();
    }
    for (int i = 0; i < count; ++i) {
        storage[i] = std::strcmp(command[i], "{pid}") == 0 ? pid : command[i];
        arguments[i] = storage[i].data();
    }
    PROCESS_INFORMATION helper = {};
    if (!start(count, arguments, command_flags, helper)) {
        return fail("pair-run");
    }
    WaitForSingleObject(helper.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(helper.hProcess, &code);
    std::printf("run pid=%lu exit=%lu t=%llu\n", helper.dwProcessId, code, unix_ms());

    if (WaitForSingleObject(target.hProcess, 5000) != WAIT_OBJECT_0) {
        std::printf("target pid=%lu alive=1 t=%llu\n", target.dwProcessId, unix_ms());
        TerminateProcess(target.hProcess, 1);
        return 0;
    }
    GetExitCodeProcess(target.hProcess, &code);
    std::printf("target pid=%lu alive=0 exit=%lu t=%llu\n", target.dwProcessId, code, unix_ms());
    return 0;
}

int alive(DWORD pid)
{
    const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) {
        std::printf("alive pid=%lu alive=0 open_error=%lu\n", pid, GetLastError());
        return 0;
    }
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    std::printf("alive pid=%lu alive=%d exit=%lu\n", pid, code == STILL_ACTIVE ? 1 : 0, code);
    return 0;
}

int wait_exit(DWORD pid, DWORD timeout_ms)
{
    const HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (process == nullptr) {
        return fail("waitexit");
    }
    std::printf("waitexit pid=%lu watching=1 t=%llu\n", pid, unix_ms());
    std::fflush(stdout);
    int result = 0;
    if (WaitForSingleObject(process, timeout_ms) != WAIT_OBJECT_0) {
        std::printf("waitexit pid=%lu timeout=1 t=%llu\n", pid, unix_ms());
        result = 3;
    } else {
        DWORD code = 0;
        GetExitCodeProcess(process, &code);
        std::printf("waitexit pid=%lu exit=%lu t=%llu\n", pid, code, unix_ms());
    }
    CloseHandle(process);
    return result;
}

int kill(DWORD pid, DWORD code)
{
    const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
    if (process == nullptr) {
        return fail("kill");
    }
    if (!TerminateProcess(process, code)) {
        const int result = fail("kill");
        CloseHandle(process);
        return result;
    }
    CloseHandle(process);
    std::printf("kill pid=%lu t=%llu\n", pid, unix_ms());
    return 0;
}

int hold(const char* path, DWORD ms)
{
    const HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return fail("hold");
    }
    std::printf("hold t=%llu\n", unix_ms());
    std::fflush(stdout);
    Sleep(ms);
    CloseHandle(file);
    return 0;
}

// The version resource as Explorer and inventory tools read it: the fixed file version and the
// strings of the first translation the resource lists.
int version(const char* path)
{
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    if (size == 0) {
        return fail("version");
    }
    std::string data(size, '\0');
    LPVOID value = nullptr;
    UINT length = 0;
    if (!GetFileVersionInfoA(path, 0, size, data.data()) || !VerQueryValueA(data.data(), "\\", &value, &length) ||
        length < sizeof(VS_FIXEDFILEINFO)) {
        return fail("version");
    }
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(value);
    std::printf("version fixed=%u.%u.%u.%u\n", unsigned{HIWORD(fixed->dwFileVersionMS)},
                unsigned{LOWORD(fixed->dwFileVersionMS)}, unsigned{HIWORD(fixed->dwFileVersionLS)},
                unsigned{LOWORD(fixed->dwFileVersionLS)});
    if (!VerQueryValueA(data.data(), "\\VarFileInfo\\Translation", &value, &length) || length < 2 * sizeof(WORD)) {
        return fail("version");
    }
    const auto* translation = static_cast<const WORD*>(value);
    for (const char* name : {"ProductName", "FileDescription", "FileVersion", "ProductVersion", "OriginalFilename"}) {
        char query[128];
        std::snprintf(query, sizeof query, "\\StringFileInfo\\%04x%04x\\%s", unsigned{translation[0]},
                      unsigned{translation[1]}, name);
        const bool found = VerQueryValueA(data.data(), query, &value, &length) != FALSE && length > 0;
        std::printf("version %s=%s\n", name, found ? static_cast<const char*>(value) : "");
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        return usage();
    }
    const std::string op = argv[1];
    if (op == "run") {
        return run(argc - 2, argv + 2);
    }
    if (op == "spawn") {
        return spawn(argc - 2, argv + 2);
    }
    if (op == "pair") {
        return pair(argc - 2, argv + 2);
    }
    if (op == "alive" && argc == 3) {
        return alive(number(argv[2]));
    }
    if (op == "waitexit" && argc == 4) {
        return wait_exit(number(argv[2]), number(argv[3]));
    }
    if (op == "kill" && argc == 4) {
        return kill(number(argv[2]), number(argv[3]));
    }
    if (op == "version" && argc == 3) {
        return version(argv[2]);
    }
    if (op == "hold" && argc == 4) {
        return hold(argv[2], number(argv[3]));
    }
    return usage();
}
