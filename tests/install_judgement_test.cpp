// The installer's judgement of the paths it checks and registers, of the program a registration names, and what it
// says of a service marked for deletion.
#include "setup/install_judgement.h"

#include <gtest/gtest.h>

namespace {

constexpr unsigned drive_type_unknown = 0;
constexpr unsigned drive_type_remote = 4;

// Programs at paths of 259 and 260 characters on C:.
const std::wstring path_of_259 = L"C:\\" + std::wstring(234, L'o') + L"\\svc\\OrvaneService.exe";
const std::wstring path_of_260 = L"C:\\" + std::wstring(235, L'o') + L"\\svc\\OrvaneService.exe";

TEST(install_judgement, takes_only_a_final_path_on_a_local_disk_that_the_service_can_hold)
{
    const struct {
        std::wstring returned; // as GetFinalPathNameByHandleW gives it
        unsigned drive_type;
        std::wstring path;
        path_finding finding;
    } rows[] = {
        {L"\\\\?\\C:\\Program Files\\Orvane\\service\\OrvaneService.exe", drive_type_fixed,
         L"C:\\Program Files\\Orvane\\service\\OrvaneService.exe", path_finding::fine},
        {L"\\\\?\\UNC\\server\\share\\Orvane\\service\\OrvaneService.exe", drive_type_unknown,
         L"\\\\server\\share\\Orvane\\service\\OrvaneService.exe", path_finding::unc},
        {L"\\\\?\\N:\\orvane\\svc\\OrvaneService.exe", drive_type_remote, L"N:\\orvane\\svc\\OrvaneService.exe",
         path_finding::not_fixed_drive},
        {L"\\\\?\\" + path_of_259, drive_type_fixed, path_of_259, path_finding::fine},
        {L"\\\\?\\" + path_of_260, drive_type_fixed, path_of_260, path_finding::too_long},
    };
    for (const auto& r : rows) {
        const std::wstring path = without_long_path_prefix(r.returned);
        EXPECT_EQ(path, r.path);
        EXPECT_EQ(judge_service_path(path, r.drive_type), r.finding) << path.size() << " characters";
    }
}

// The climb stops at a drive's root or a share's; the companion is judged one folder up, its folder as "D:\" when
// that is a drive's root.
TEST(install_judgement, lays_out_the_paths_to_judge_up_to_the_root)
{
    EXPECT_EQ(folders_above(L"C:\\Program Files\\Orvane"), (std::vector<std::wstring>{L"C:\\Program Files", L"C:\\"}));
    EXPECT_EQ(folders_above(L"\\\\server\\share\\Orvane"), (std::vector<std::wstring>{L"\\\\server\\share"}));
    const std::vector<std::pair<std::wstring, checked_path>> wanted = {
        {L"D:\\svc", checked_path::program_or_its_folder},
        {L"D:\\", checked_path::program_or_its_folder},
        {L"D:\\svc\\OrvaneService.exe", checked_path::program_or_its_folder},
        {L"D:\\Orvane.exe", checked_path::program_or_its_folder}};
    EXPECT_EQ(layout_paths(L"D:\\svc\\OrvaneService.exe"), wanted);
}

// A registration that names the package's program is brought up to date; any other is refused, so the program
// must come out of the command line exactly.
TEST(install_judgement, reads_the_program_out_of_a_registered_command_line)
{
    const struct {
        const wchar_t* command_line;
        const wchar_t* program;
    } rows[] = {
        {L"\"C:\\Program Files\\Orvane\\service\\OrvaneService.exe\"",
         L"C:\\Program Files\\Orvane\\service\\OrvaneService.exe"},
        {L"\"C:\\a b\\OrvaneService.exe\" --flag", L"C:\\a b\\OrvaneService.exe"},
        {L"C:\\orvane\\svc\\OrvaneService.exe", L"C:\\orvane\\svc\\OrvaneService.exe"},
        {L"\"C:\\unterminated\\OrvaneService.exe", L"C:\\unterminated\\OrvaneService.exe"},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(program_of_command_line(r.command_line), r.program) << r.command_line;
    }
}

// Wine shows the other cases' lines; it cannot hold a service past the 45 s of a stop.
TEST(install_judgement, says_when_a_service_marked_for_deletion_goes_and_exits_accordingly)
{
    const struct {
        marked_case where;
        std::uint32_t process_id;
        std::uint32_t exit_code;
        const wchar_t* says;
    } rows[] = {
        {marked_case::stop_timed_out, 4242, 1053,
         L"it is gone once its process ends (end it with \"taskkill /pid 4242 /f\")"},
        {marked_case::uninstall_met_it, 4242, 1072, L"is already marked for deletion, so the service manager neither"},
        {marked_case::uninstall_marked_it, 0, 0, L"is marked for deletion; it is gone when the programs that hold"},
        {marked_case::removal_met_it, 0, 0, L"is already marked for deletion; it is gone when the programs that hold"},
        {marked_case::install_met_it, unknown_process_id, 1072,
         L"is already marked for deletion (process unknown: its state could not be read); it is gone once it has"},
    };
    for (const auto& r : rows) {
        const marked_notice notice = marked_for_deletion_notice(r.where, r.process_id);
        EXPECT_EQ(notice.exit_code, r.exit_code) << static_cast<int>(r.where);
        EXPECT_NE(notice.line.find(r.says), std::wstring::npos) << static_cast<int>(r.where);
    }
}

} // namespace
