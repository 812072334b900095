// Who is installing (elevation, own account) and whether an untrusted account could change a given path.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Reads the process token: whether it is the full (elevated) administrator token, and its account's SID.
DWORD read_installer(bool& elevated, std::string& user_sid);

// DOMAIN\name of a SID in string form, or the string itself when the account has no name here.
std::wstring account_name(const std::string& sid);

// A program or one of the programs' folders, or a folder above them (where only renaming or replacing it,
// or what is in it, counts).
enum class checked_path { program_or_its_folder, folder_above };

// Judges one file or folder and prints the finding. Returns ERROR_SUCCESS with safe set, or the error
// (already printed) of a failed read.
DWORD check_path_safety(const std::wstring& path, checked_path role, const std::vector<std::string>& trusted_sids,
                        bool& safe);
