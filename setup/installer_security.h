// Who is installing (elevation, own account) and whether an untrusted account could change a given path.
#pragma once

#include "setup/install_judgement.h"

#include <windows.h>

#include <string>
#include <vector>

// Reads the process token: whether it is the full (elevated) administrator token, and its account's SID.
DWORD read_installer(bool& elevated, std::string& user_sid);

// DOMAIN\name of a SID in string form, or the string itself when the account has no name here.
std::wstring account_name(const std::string& sid);

// Judges one file or folder and prints the finding, and a warning when it trusts installer_sid, the
// installing administrator's own account, as its owner or a writer (installer_trusted; never for an
// empty installer_sid). Returns ERROR_SUCCESS with safe set, or the error (already printed) of a failed read.
DWORD check_path_safety(const std::wstring& path, checked_path role, const std::vector<std::string>& trusted_sids,
                        const std::string& installer_sid, bool& safe, bool& installer_trusted);

// The final path of an existing file or folder: links followed, short (8.3) names expanded, a subst drive
// replaced by the drive behind it, without the long-path prefix. Returns the failing call's error code.
DWORD final_path(const std::wstring& path, std::wstring& resolved);

// Refuses (printed, exit code returned) when any of the paths is itself a reparse point, naming each with
// what it resolves to and use_instead, the program's final path; ERROR_SUCCESS when none is.
DWORD refuse_reparse_points(const std::vector<std::wstring>& paths, const std::wstring& use_instead);
