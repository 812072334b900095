// The installer's plain decisions about a registration: which service path it takes, and what it says of a
// service the manager has only marked for deletion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The service reads its own path into buffers of 260 characters, the terminator included, and cuts it
// twice to find the companion's folder; a longer path would be cut short there.
constexpr std::size_t service_path_limit_chars = 260;

// GetDriveTypeW's answer for a disk of this machine (DRIVE_FIXED).
constexpr unsigned drive_type_fixed = 3;

// The exit codes of a stop that did not finish and of a service already marked for deletion.
constexpr std::uint32_t error_service_request_timeout = 1053;
constexpr std::uint32_t error_service_marked_for_delete = 1072;

// "C:\x" of "\\?\C:\x" and "\\server\share\x" of "\\?\UNC\server\share\x", the forms
// GetFinalPathNameByHandleW and GetModuleFileNameW may return; any other path unchanged.
std::wstring without_long_path_prefix(const std::wstring& path);

// "C:\" of "C:\x\y", the form GetDriveTypeW takes; empty for a path without a drive letter (UNC).
std::wstring drive_root(const std::wstring& path);

enum class path_finding { fine, unc, not_fixed_drive, too_long };

// The service program's final path (without the long-path prefix) and GetDriveTypeW of its drive's root.
path_finding judge_service_path(const std::wstring& final_path, unsigned drive_type);

// Where a service marked for deletion is met: uninstall's own deletion found another handle open, the stop
// timed out and uninstall marked the running service, or install or uninstall found it marked already.
enum class marked_case { uninstall_marked_it, stop_timed_out, install_met_it, uninstall_met_it };

struct marked_notice {
    std::wstring line;
    std::uint32_t exit_code; // 0: the uninstall did what it could; the line is no failure
};

// process_id: the service's process while it still runs, 0 once it has stopped.
marked_notice marked_for_deletion_notice(marked_case where, std::uint32_t process_id);
