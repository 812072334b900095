// What install checks before it registers anything: the elevation, both programs, where they really are, and
// that no one but the trusted accounts may change them or their folders.
#include "setup/install_checks.h"

#include "setup/install_judgement.h"
#include "setup/installer_security.h"
#include "setup/setup_output.h"

#include <algorithm>
#include <iterator>
#include <utility>
#include <vector>

namespace {

const wchar_t* const service_file_name = L"OrvaneService.exe";

// Not in MinGW-w64's winerror.h.
constexpr DWORD error_elevation_required = 740;

// The accounts that may own and change what LocalSystem runs, besides the installing administrator.
const char* const system_sid = "S-1-5-18";
const char* const administrators_sid = "S-1-5-32-544";
const char* const trusted_installer_sid = "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

DWORD full_path(const wchar_t* given, std::wstring& path)
{
    const DWORD needed = GetFullPathNameW(given, 0, nullptr, nullptr);
    if (needed == 0) {
        return GetLastError();
    }
    std::wstring buffer(needed, L'\0');
    const DWORD length = GetFullPathNameW(given, needed, buffer.data(), nullptr);
    if (length == 0) {
        return GetLastError();
    }
    if (length >= needed) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    buffer.resize(length);
    path = buffer;
    return ERROR_SUCCESS;
}

// OrvaneService.exe in the folder of this program.
DWORD default_service_path(std::wstring& path)
{
    // The longest path Windows takes, so no truncation is possible.
    std::wstring buffer(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) {
        return GetLastError();
    }
    if (length >= buffer.size()) {
        return ERROR_INSUFFICIENT_BUFFER;
    }
    buffer.resize(length);
    path = folder_of(buffer) + L"\\" + service_file_name;
    return ERROR_SUCCESS;
}

DWORD require_program(const std::wstring& path, const wchar_t* role)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        return report_failure(std::wstring(role) + L" not found at " + quoted(path), error);
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        return report_failure(quoted(path) + L" is a folder, not the " + role, ERROR_FILE_NOT_FOUND);
    }
    say(std::wstring(role) + L": " + quoted(path));
    return ERROR_SUCCESS;
}

std::vector<std::wstring> paths_of(const std::vector<std::pair<std::wstring, checked_path>>& layout)
{
    std::vector<std::wstring> paths;
    std::transform(layout.begin(), layout.end(), std::back_inserter(paths),
                   [](const auto& entry) { return entry.first; });
    return paths;
}

std::wstring too_long_text(const std::wstring& path)
{
    return quoted(path) + L" is " + std::to_wstring(path.size()) + L" characters long; the service takes a path of " +
           std::to_wstring(service_path_limit_chars - 1) +
           L" at most for its own program: put the programs in a folder with a shorter path";
}

// The path the service manager will start: the named one with links followed, short names expanded and a
// subst drive replaced, on a disk of this machine and short enough for the service to hold.
DWORD resolve_service_path(const std::wstring& named_path, std::wstring& resolved)
{
    // A path named this long would be cut by the service too, whatever it resolves to.
    if (without_long_path_prefix(named_path).size() >= service_path_limit_chars) {
        return report_failure(too_long_text(without_long_path_prefix(named_path)), ERROR_FILENAME_EXCED_RANGE);
    }
    DWORD error = final_path(named_path, resolved);
    if (error != ERROR_SUCCESS) {
        return report_failure(L"finding the final path of " + quoted(named_path), error);
    }
    const std::wstring root = drive_root(resolved);
    const UINT drive_type = root.empty() ? DRIVE_UNKNOWN : GetDriveTypeW(root.c_str());
    switch (judge_service_path(resolved, drive_type)) {
    case path_finding::fine:
        say(L"final path: " + quoted(resolved) + L", on a disk of this machine");
        return ERROR_SUCCESS;
    case path_finding::unc:
        // Share permissions are never read, and the share's access list trusts the file server's administrators.
        return report_failure(quoted(named_path) + L" is on a network share (" + quoted(resolved) +
                                  L"), whose permissions this machine does not control; put the programs on a "
                                  L"disk of this machine",
                              ERROR_NOT_SUPPORTED);
    case path_finding::not_fixed_drive:
        // A mapped drive of the elevated prompt does not exist in LocalSystem's logon session, and a removable
        // one may be gone at the next boot.
        return report_failure(quoted(named_path) + L" is on " + root + L", which is not a fixed disk of this machine " +
                                  L"(drive type " + std::to_wstring(drive_type) +
                                  L"); put the programs on a disk of this machine",
                              ERROR_NOT_SUPPORTED);
    case path_finding::too_long:
        return report_failure(too_long_text(resolved), ERROR_FILENAME_EXCED_RANGE);
    }
    return ERROR_SUCCESS;
}

// The service starts Orvane.exe in the parent of its own folder, so its program may not sit in a drive's root.
DWORD require_folder_below(const std::wstring& path)
{
    if (folder_of(without_long_path_prefix(path)).find(L'\\') == std::wstring::npos) {
        return report_failure(quoted(path) + L" must sit in a folder below the one of Orvane.exe", ERROR_BAD_PATHNAME);
    }
    return ERROR_SUCCESS;
}

} // namespace

DWORD check_before_install(const wchar_t* given_path, bool check_elevation, std::wstring& service_path)
{
    bool elevated = false;
    std::string user_sid;
    std::wstring named_path;
    DWORD error = read_installer(elevated, user_sid);
    if (error != ERROR_SUCCESS) {
        return report_failure(L"reading this process's token", error);
    }
    if (check_elevation && !elevated) {
        return report_failure(
            L"this prompt is not elevated; run it from an elevated command prompt (Run as administrator)",
            error_elevation_required);
    }
    say(std::wstring(check_elevation ? L"elevated, as " : L"running as ") + account_name(user_sid));

    error = given_path != nullptr ? full_path(given_path, named_path) : default_service_path(named_path);
    if (error != ERROR_SUCCESS) {
        return report_failure(L"finding the full path of the service program", error);
    }
    const std::wstring named = without_long_path_prefix(named_path);
    error = require_folder_below(named_path);
    if (error == ERROR_SUCCESS) {
        error = require_program(named_path, L"service program");
    }
    if (error == ERROR_SUCCESS) {
        error = resolve_service_path(named_path, service_path);
    }
    // Links in the path as named, and any left in the final one (a folder where a volume is mounted).
    if (error == ERROR_SUCCESS) {
        std::vector<std::wstring> links = paths_of(layout_paths(named));
        if (named != service_path) {
            const std::vector<std::wstring> final_paths = paths_of(layout_paths(service_path));
            links.insert(links.end(), final_paths.begin(), final_paths.end());
        }
        error = refuse_reparse_points(links, service_path);
    }
    // The final path is the one registered, so it is held to the same rule.
    if (error == ERROR_SUCCESS) {
        error = require_folder_below(service_path);
    }
    if (error == ERROR_SUCCESS) {
        error = require_program(folder_of(folder_of(service_path)) + L"\\" + companion_file_name, L"companion");
    }
    if (error != ERROR_SUCCESS) {
        return error;
    }
    const std::vector<std::pair<std::wstring, checked_path>> checked = layout_paths(service_path);

    const std::vector<std::string> trusted = {system_sid, administrators_sid, trusted_installer_sid, user_sid};
    // Run as SYSTEM (a Windows Installer package's deferred action) there is no filtered token to warn about.
    const bool own_account_counts = std::find(trusted.begin(), trusted.end() - 1, user_sid) == trusted.end() - 1;
    bool all_safe = true;
    bool installer_trusted = false;
    for (const auto& [path, role] : checked) {
        bool safe = false;
        bool trusts_installer = false;
        error = check_path_safety(path, role, trusted, own_account_counts ? user_sid : std::string(), safe,
                                  trusts_installer);
        if (error != ERROR_SUCCESS) {
            return error;
        }
        all_safe = all_safe && safe;
        installer_trusted = installer_trusted || trusts_installer;
    }
    if (!all_safe) {
        return report_failure(L"refused: put both programs where only administrators may change them, such as "
                              L"C:\\Program Files\\Orvane",
                              ERROR_ACCESS_DENIED);
    }
    if (installer_trusted) {
        // Files moved from the administrator's own folders keep the entries they had there; copies take the
        // permissions of the folder they are copied into.
        say(L"warning: UAC keeps your own account in the token of every program you start without elevation, so "
            L"any of them could replace what runs as LocalSystem here; give the programs' folder its inherited "
            L"permissions back with icacls " +
            quoted(folder_for_query(folder_of(folder_of(service_path)))) +
            L" /reset /t (and /setowner *S-1-5-32-544 /t where it names you owner), or copy the files into place "
            L"instead of moving them");
    }
    return ERROR_SUCCESS;
}
