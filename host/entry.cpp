// The process entry: interrupt mode for "--terminate <id>", service mode for everything else.
#include "host/entry.h"

#include "stop/graceful_stop.h"
#include "supervisor/service_main.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr std::int64_t long_max = 2147483647;
constexpr std::int64_t long_min_magnitude = 2147483648;

// The dispatcher never writes the name; the platform's record type simply lacks the const.
const SERVICE_TABLE_ENTRYA dispatch_table[] = {
    {const_cast<LPSTR>(service_name), service_main},
    {nullptr, nullptr},
};

// White space as atol skips it in the "C" locale; std::isspace would depend on the locale and is
// undefined for negative char values.
bool is_atol_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

entry_mode select_entry_mode(int argc, const char* const* argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--terminate") == 0) {
        return entry_mode::interrupt;
    }
    return entry_mode::service;
}

DWORD parse_process_id(const char* text)
{
    const char* next = text;
    bool negative = false;
    std::int64_t magnitude = 0;

    while (is_atol_space(*next)) {
        ++next;
    }
    if (*next == '+' || *next == '-') {
        negative = *next == '-';
        ++next;
    }
    // Saturate rather than overflow: the Windows runtime's atol clamps to the 32-bit range, and the
    // same argument must give the same id in both builds.
    const std::int64_t limit = negative ? long_min_magnitude : long_max;
    while (*next >= '0' && *next <= '9') {
        magnitude = magnitude * 10 + (*next - '0');
        if (magnitude > limit) {
            magnitude = limit;
        }
        ++next;
    }
    const auto value = static_cast<std::int32_t>(negative ? -magnitude : magnitude);
    return static_cast<DWORD>(value);
}

void cut_at_last_backslash(WCHAR* path)
{
    WCHAR* last_backslash = nullptr;
    for (WCHAR* next = path; *next != 0; ++next) {
        if (*next == WIDE('\\')) {
            last_backslash = next;
        }
    }
    if (last_backslash != nullptr) {
        *last_backslash = 0;
    }
}

int run_entry(int argc, char** argv)
{
    WCHAR module_path[MAX_PATH] = {};

    if (select_entry_mode(argc, argv) == entry_mode::interrupt) {
        return static_cast<int>(send_console_interrupt(parse_process_id(argv[2])));
    }

    os->GetModuleFileNameW(nullptr, module_path, MAX_PATH);
    // Older Windows leaves a path that filled the buffer unterminated.
    module_path[MAX_PATH - 1] = 0;
    // Drop the file name, then the executable's own directory: the companion sits one level up.
    cut_at_last_backslash(module_path);
    cut_at_last_backslash(module_path);
    os->SetCurrentDirectoryW(module_path);

    // The dispatcher's raw result would read backwards as an exit status: 0 when it fails (started from
    // a prompt, 1063) and 1 after a normal run. A failure must never read as success: the service judges
    // its interrupt helper by its exit status, and a helper that landed here must not pass for one that
    // raised Ctrl-C.
    if (os->StartServiceCtrlDispatcherA(dispatch_table) == FALSE) {
        return static_cast<int>(failure_code(os->GetLastError()));
    }
    return 0;
}
