// The installer's plain decisions about a registration: which service path it takes, and what it says of a
// service the manager has only marked for deletion.
#include "setup/install_judgement.h"

namespace {

const std::wstring long_path_prefix = L"\\\\?\\";
const std::wstring long_unc_prefix = L"\\\\?\\UNC\\";

bool is_drive_letter(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

} // namespace

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
    const bool met = where == marked_case::install_met_it || where == marked_case::uninstall_met_it;
    std::wstring line = met ? L"OrvaneService is already marked for deletion" : L"OrvaneService is marked for deletion";
    if (process_id != 0) {
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
        return {line, 0};
    case marked_case::stop_timed_out:
        return {line, error_service_request_timeout};
    case marked_case::install_met_it:
    case marked_case::uninstall_met_it:
        break;
    }
    return {line, error_service_marked_for_delete};
}
