// What install checks before it registers anything: the elevation, both programs, where they really are, and
// that no one but the trusted accounts may change them or their folders.
#pragma once

#include <windows.h>

#include <string>

// given_path: the service program as typed (or as the package names it), null for OrvaneService.exe beside
// OrvaneSetup.exe. check_elevation: false where the caller runs as SYSTEM (the package's actions), where UAC
// has no filtered token. Leaves the final path to register in service_path; returns the failure, already told.
DWORD check_before_install(const wchar_t* given_path, bool check_elevation, std::wstring& service_path);
