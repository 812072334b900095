// What the installer's commands share about the service manager: the name, handles, state names.
#pragma once

#include <windows.h>

#include <string>

inline const wchar_t* const service_name = L"OrvaneService";

// Nulled once closed, so no release path can close it twice.
void close_service_handle(SC_HANDLE* handle);

// The service manager with the given rights, or null with the failure told and left in `result`.
SC_HANDLE open_service_manager(DWORD access, DWORD* result);

const wchar_t* state_name(DWORD state);

// "RUNNING (4)".
std::wstring state_text(DWORD state);
