// OrvaneSetup.exe: registers OrvaneService with the service control manager, removes it, or reports it.
#include "setup/setup_install.h"
#include "setup/setup_output.h"
#include "setup/setup_status.h"
#include "setup/setup_uninstall.h"

#include <cwchar>

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

} // namespace

// wmain (linked with -municode): a path outside the ANSI code page arrives intact.
int wmain(int argc, wchar_t** argv)
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
    return static_cast<int>(result);
}
