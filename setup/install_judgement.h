// The installer's plain decisions about a registration: the paths it judges, which service path it takes, which
// program a registration names, and what it says of a service the manager has only marked for deletion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

inline const wchar_t* const companion_file_name = L"Orvane.exe";

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

// Everything before the last backslash of a path; empty when it has none.
std::wstring folder_of(const std::wstring& path);

// A drive's root cut from a path ("C:") names that drive's current directory; its own path is "C:\".
std::wstring folder_for_query(const std::wstring& folder);

// The folders above `folder`, nearest first, down to its drive's root ("C:\") or its share
// ("\\server\share"): whoever may rename one of them could put another tree, programs included, in its place.
std::vector<std::wstring> folders_above(const std::wstring& folder);

// A program or one of the programs' folders, or a folder above them (where only renaming or replacing it,
// or what is in it, counts).
enum class checked_path { program_or_its_folder, folder_above };

// The programs and folders install judges for a service program at service_path: the programs and their
// folders first, then the folders above, nearest first. The service starts Orvane.exe in the parent of its
// own folder.
std::vector<std::pair<std::wstring, checked_path>> layout_paths(const std::wstring& service_path);

// The program a service's command line starts: the quoted part of one that begins with a quote, else the
// whole line (which is what the manager tries first).
std::wstring program_of_command_line(const std::wstring& command_line);

enum class path_finding { fine, unc, not_fixed_drive, too_long };

// The service program's final path (without the long-path prefix) and GetDriveTypeW of its drive's root.
path_finding judge_service_path(const std::wstring& final_path, unsigned drive_type);

// Where a service marked for deletion is met: uninstall's own deletion found another handle open, the stop
// timed out and uninstall marked the running service, install or uninstall found it marked already, or the
// package's removal found it marked already (which it counts as removed, as it cannot do more).
enum class marked_case { uninstall_marked_it, stop_timed_out, install_met_it, uninstall_met_it, removal_met_it };

// Stands for the process of a service whose state could not be read; no process has this id (they are
// multiples of 4).
constexpr std::uint32_t unknown_process_id = 0xFFFFFFFF;

struct marked_notice {
    std::wstring line;
    std::uint32_t exit_code; // 0: the uninstall did what it could; the line is no failure
};

// process_id: the service's process while it still runs, 0 once it has stopped, unknown_process_id when its
// state could not be read.
marked_notice marked_for_deletion_notice(marked_case where, std::uint32_t process_id);
