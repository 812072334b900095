// The installer's commands that change the registration: register OrvaneService, stop and remove it.
#pragma once

#include <windows.h>

// given_path: the service executable as typed, or null for OrvaneService.exe beside OrvaneSetup.exe.
DWORD install_service(const wchar_t* given_path);
DWORD uninstall_service();
