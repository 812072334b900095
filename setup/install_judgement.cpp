// The installer's plain decisions about a registration: the paths it judges, which service path it takes, which
// program a registration names, and what it says of a service the manager has only marked for deletion.
#include "setup/install_judgement.h"

#include <algorithm>
#include <iterator>

namespace {

const std::wstring long_path_prefix = L"\\\\?\\";
const std::wstring long_unc_prefix = L"\\\\?\\UNC\\";

bool is_drive_letter(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

} // namespace

std::wstring folder_of(const std::wstring& path)
{
    const size_t backslash = path.find_last_of(L'\\');
    return backslash == std::wstring::npos ? std::wstring() : path.substr(0, backslash);
}

std::wstring folder_for_query(const std::wstring& folder)
{
    return !folder.empty() && folder.back() == L':' ? folder + L"\\" : folder;
}

std::vector<std::wstring> folders_above(const std::wstring& folder)
{
    std::vector<std::wstring> above;
    // "\\server\share" holds three backslashes; what is above it is no folder.
    const std::ptrdiff_t root_backslashes = folder.rfind(L"\\\\", 0) == 0 ? 3 : 0;
    for (std::wstring next = folder_of(folder);
         !next.empty() && std::count(next.begin(), next.end(), L'\\') >= root_backslashes; next = folder_of(next)) {
        above.push_back(folder_for_query(next));
    }
    return above;
}

std::vector<std::pair<std::wstring, checked_path>> layout_paths(const std::wstring& service_path)
{
    const std::wstring service_folder = folder_of(service_path);
    const std::wstring companion_folder = folder_of(service_folder);
    std::vector<std::pair<std::wstring, checked_path>> checked = {
        {service_folder, checked_path::program_or_its_folder},
        {folder_for_query(companion_folder), checked_path::program_or_its_folder},
        {service_path, checked_path::program_or_its_folder},
        {companion_folder + L"\\" + companion_file_name, checked_path::program_or_its_folder}};
    const std::vector<std::wstring> above = folders_above(companion_folder);
    std::transform(above.begin(), above.end(), std::back_inserter(checked), [](const std::wstring& folder) {
        return std::pair{folder, checked_path::folder_above};
    });
    return checked;
}

std::wstring program_of_command_line(const std::wstring& command_line)
{
    if (command_line.rfind(L'"', 0) == 0) {
        const size_t closing = command_line.find(L'"', 1);
        return command_line.substr(1, closing == std::wstring::npos ? std::wstring::npos : closing - 1);
    }
    return command_line;
}

std::wstring without_long_path_prefix(const std::wstring& path)
{
    if (path.rfind(long_unc_prefix, 0) == 0) {
        return L"\\\\" + path.substr(long_unc_prefix.size());
    }
    if (path.rfind(long_path_prefix, 0) == 0) {
        return path.substr(long_path_prefix.size());
    }
    return path;
}

std::wstring drive_root(const std::wstring& path)
{
    if (path.size() >= 2 && is_drive_letter(path[0]) && path[1] == L':') {
        return path.substr(0, 2) + L"\\";
    }
    return {};
}

path_finding judge_service_path(const std::wstring& final_path, unsigned drive_type)
{
    // A share's access list trusts the file server's administrators, and its share permissions are never
    // read; a drive letter of anything but a local disk may not exist in LocalSystem's logon session.
    if (drive_root(final_path).empty()) {
        return path_finding::unc;
    }
    if (drive_type != drive_type_fixed) {
        return path_finding::not_fixed_drive;
    }
    if (final_path.size() >= service_path_limit_chars) {
        return path_finding::too_long;
    }
    return path_finding::fine;
}

marked_notice marked_for_deletion_notice(marked_case where, std::uint32_t process_id)
{
    const bool met = where == marked_case::install_met_it || where == marked_case::uninstall_met_it ||
                     where == marked_case::removal_met_it;
    std::wstring line = met ? L"OrvaneService is already marked for deletion" : L"OrvaneService is marked for deletion";
    if (process_id == unknown_process_id) {
        line += L" (process unknown: its state could not be read); it is gone once it has stopped and the programs "
                L"that hold it open (the Services console, Event Viewer, a monitoring tool) close it, or at the next "
                L"restart";
    } else if (process_id != 0) {
        // A marked service is neither restarted by its failure actions nor started at boot.
        line += L", so the service manager neither restarts it nor starts it at the next boot; it is gone once its "
                L"process ends (end it with \"taskkill /pid " +
                std::to_wstring(process_id) + L" /f\") or at the next restart";
    } else {
        line += L"; it is gone when the programs that hold it open (the Services console, Event Viewer, a "
                L"monitoring tool) close it, or at the next restart";
    }
    if (where == marked_case::install_met_it) {
        line += L"; install again after that";
    }
    switch (where) {
    case marked_case::uninstall_marked_it:
    case marked_case::removal_met_it:
        return {line, 0};
    case marked_case::stop_timed_out:
        return {line, error_service_request_timeout};
    case marked_case::install_met_it:
    case marked_case::uninstall_met_it:
        break;
    }
    return {line, error_service_marked_for_delete};
}
