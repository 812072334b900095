// Both ends of the graceful stop: the service starts a helper in the companion's session, the helper raises Ctrl-C.
#include "stop/graceful_stop.h"

namespace {

constexpr DWORD path_capacity_chars = MAX_PATH; // terminator included
constexpr DWORD decimal_digits_max = 10;        // 4294967295
constexpr DWORD exit_code_unread = 0xFFFFFFFF;  // any non-zero value: an unread exit code is a failure

} // namespace

wide_string build_stop_command_line(const WCHAR* executable_path, DWORD process_id)
{
    WCHAR digits[decimal_digits_max] = {};
    DWORD digit_count = 0;
    do {
        digits[digit_count] = static_cast<WCHAR>(WIDE('0') + process_id % 10);
        ++digit_count;
        process_id /= 10;
    } while (process_id != 0);

    // Quoted, so a path with spaces reaches the helper as one argument.
    wide_string command_line;
    command_line += WIDE('"');
    command_line += executable_path;
    command_line += WIDE("\" --terminate ");
    while (digit_count > 0) {
        --digit_count;
        command_line += digits[digit_count];
    }
    return command_line;
}

bool request_stop(HANDLE token, DWORD process_id)
{
    PROCESS_INFORMATION helper = {}; // process and thread handles start null
    WCHAR executable_path[path_capacity_chars] = {};
    WCHAR desktop[] = WIDE("winsta0\\default");
    STARTUPINFOW startup = {};
    DWORD exit_code = exit_code_unread;

    os->GetModuleFileNameW(nullptr, executable_path, path_capacity_chars);
    // CreateProcessAsUserW may write into the command line, so it gets the string's own writable buffer,
    // which lives until this routine returns.
    wide_string command_line = build_stop_command_line(executable_path, process_id);

    startup.cb = sizeof(STARTUPINFOW);
    startup.lpDesktop = desktop;

    // Detached, so the helper has no console of its own and AttachConsole can join the companion's.
    if (os->CreateProcessAsUserW(token, executable_path, command_line.data(), nullptr, nullptr, FALSE,
                                 interrupt_creation_flags, nullptr, nullptr, &startup, &helper) == FALSE) {
        return false;
    }

    if (os->WaitForSingleObject(helper.hProcess, interrupt_wait_limit_ms) == WAIT_OBJECT_0) {
        // A failed read leaves the value non-zero, which counts as failure.
        os->GetExitCodeProcess(helper.hProcess, &exit_code);
    } else {
        // Not ended within the bound, or the wait itself failed. A helper that hangs must not hold the
        // service's stop for ever: end it and report failure, so the companion is terminated at once.
        os->TerminateProcess(helper.hProcess, forced_exit_code);
    }

    os->CloseHandle(helper.hProcess);
    helper.hProcess = nullptr;
    os->CloseHandle(helper.hThread);
    helper.hThread = nullptr;
    return exit_code == 0;
}

DWORD send_console_interrupt(DWORD process_id)
{
    // A process can be attached to one console only, and AttachConsole refuses (5) while it has one: run
    // by hand from a prompt this process shares the prompt's console, so it leaves it first. Started
    // detached by the service it has none and this changes nothing; its result is therefore not examined.
    os->FreeConsole();
    if (os->AttachConsole(process_id) == FALSE) {
        // A failing call that left no error code must not exit 0, which the service reads as success.
        return failure_code(os->GetLastError());
    }
    // Ctrl-C goes to every process on the console, this one included; without this it would end here
    // before reporting its result.
    os->SetConsoleCtrlHandler(nullptr, TRUE);
    if (os->GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) == FALSE) {
        return failure_code(os->GetLastError());
    }
    return ERROR_SUCCESS;
}
