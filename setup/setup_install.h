// The install command: OrvaneService registered with the service manager, or its registration brought up to date.
#pragma once

#include <windows.h>

#include <string>

// Who installs. By hand, from an elevated prompt, an existing registration is refused ("run uninstall
// first"). The package's action runs as SYSTEM and brings a registration of the same program up to date,
// which is how an upgrade or a repair keeps the service instead of deleting and re-creating it.
enum class install_caller { by_hand, package };

// given_path: the service program as typed or as the package names it, or null for OrvaneService.exe beside
// OrvaneSetup.exe. A registration that names another program is refused (1073) by either caller.
DWORD install_service(const wchar_t* given_path, install_caller caller);

// The undo of a removal that fails after the deletion: registers the program at service_path again with
// install's settings where OrvaneService is not registered. It runs before the removal's files are back,
// so it does not look at them; install looked at them when it first registered this very path.
DWORD restore_registration(const std::wstring& service_path);
