// The installer's three commands: register OrvaneService, stop and remove it, report how it is registered.
#pragma once

#include <windows.h>

// given_path: the service executable as typed, or null for OrvaneService.exe beside OrvaneSetup.exe.
DWORD install_service(const wchar_t* given_path);
DWORD uninstall_service();
DWORD report_service_status();
