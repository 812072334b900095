// OrvaneSetup.exe: registers OrvaneService with the service control manager, removes it, or reports it.
#include "setup/setup_install.h"
#include "setup/setup_output.h"
#include "setup/setup_status.h"
#include "setup/setup_uninstall.h"

#include <cwchar>
#include <new>

namespace {

bool is_verb(const wchar_t* argument, const wchar_t* verb)
{
    return _wcsicmp(argument, verb) == 0;
}

DWORD usage()
{
    say(L"usage: OrvaneSetup.exe install [<full path of OrvaneService.exe>]   (default: beside OrvaneSetup.exe)");
    say(L"usage: OrvaneSetup.exe uninstall");
    say(L"usage: OrvaneSetup.exe status");
    return report_failure(L"no known command given", ERROR_INVALID_PARAMETER);
}

DWORD run_command(int argc, wchar_t** argv)
{
    DWORD result = ERROR_SUCCESS;
    if ((argc == 2 || argc == 3) && is_verb(argv[1], L"install")) {
        result = install_service(argc == 3 ? argv[2] : nullptr, install_caller::by_hand);
    } else if (argc == 2 && is_verb(argv[1], L"uninstall")) {
        result = uninstall_service(uninstall_caller::by_hand, {});
    } else if (argc == 2 && is_verb(argv[1], L"status")) {
        result = report_service_status();
    } else {
        result = usage();
    }
    return result;
}

} // namespace

// wmain (linked with -municode): a path outside the ANSI code page arrives intact. No exception leaves it, to
// end the program with the C++ runtime's abort and an exit code that says nothing.
int wmain(int argc, wchar_t** argv)
{
    try {
        return static_cast<int>(run_command(argc, argv));
    } catch (const std::bad_alloc&) {
        write_console_line_without_allocating(out_of_memory_line);
        return static_cast<int>(out_of_memory_exit_code);
    } catch (...) {
        write_console_line_without_allocating(exception_line);
        return static_cast<int>(exception_exit_code);
    }
}
