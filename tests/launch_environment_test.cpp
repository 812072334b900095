// The launch environment over the simulated Windows: every field it sets, and every failure it can meet.
#include "sim/sim_windows.h"
#include "supervisor/launch_environment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>

namespace {

using names = std::vector<std::string>;

const wide_string default_log_path = WIDE("C:\\Windows\\Temp\\orvane.log");
const wide_string previous_log_path = WIDE("C:\\Windows\\Temp\\orvane.1.log");
constexpr DWORD launch_flags = CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT;
constexpr DWORD injected_error = 0xE000;

bool logged(const sim::world& world, const std::string& text)
{
    return std::any_of(world.call_log().begin(), world.call_log().end(),
                       [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

// Launches the companion the way the supervision loop does, from the environment as it stands.
const sim::process_record* launch(sim::world& world, launch_environment* environment, HANDLE token,
                                  PROCESS_INFORMATION* process)
{
    if (os->CreateProcessAsUserW(token, WIDE("C:\\Orvane\\Orvane.exe"), nullptr, nullptr, nullptr, TRUE, launch_flags,
                                 nullptr, nullptr, &environment->startup_info.StartupInfo, process) == FALSE) {
        return nullptr;
    }
    return world.process(process->dwProcessId);
}

TEST(launch_environment, built_with_every_startup_field_and_only_the_handle_list_entry)
{
    sim::world world;
    world.append_to_file(default_log_path, "output of an earlier run\n");
    world.append_to_file(previous_log_path, "output of the run before\n");
    auto environment = std::make_unique<launch_environment>();
    // Garbage everywhere, so a field the build forgets to write shows up.
    std::memset(static_cast<void*>(environment.get()), 0x5A, sizeof(launch_environment));

    ASSERT_TRUE(build_launch_environment(environment.get()));

    const STARTUPINFOW& startup = environment->startup_info.StartupInfo;
    EXPECT_EQ(startup.cb, 112u);
    ASSERT_NE(startup.lpDesktop, nullptr);
    EXPECT_EQ(wide_string(startup.lpDesktop), WIDE("winsta0\\default"));
    EXPECT_EQ(startup.dwFlags, STARTF_USESTDHANDLES);
    EXPECT_EQ(startup.hStdInput, nullptr);
    EXPECT_EQ(startup.hStdOutput, environment->log_handle);
    EXPECT_EQ(startup.hStdError, environment->log_handle);
    EXPECT_EQ(startup.lpReserved, nullptr);
    EXPECT_EQ(startup.lpTitle, nullptr);
    EXPECT_EQ(startup.dwX | startup.dwY | startup.dwXSize | startup.dwYSize | startup.dwXCountChars |
                  startup.dwYCountChars | startup.dwFillAttribute,
              0u);
    EXPECT_EQ(startup.wShowWindow, 0u);
    EXPECT_EQ(startup.cbReserved2, 0u);
    EXPECT_EQ(startup.lpReserved2, nullptr);
    EXPECT_EQ(environment->startup_info.lpAttributeList, environment->attribute_list);

    // The log: the earlier run's set aside in place of the older one, then made new for writing (and
    // for reading its size), shared for reading, inheritable.
    EXPECT_TRUE(logged(world, "CreateFileW(C:\\Windows\\Temp\\orvane.log, access=0x40000080, share=1, "
                              "inheritable=1, disposition=2)"));
    EXPECT_EQ(world.file_contents[default_log_path].size_bytes, 0u);
    EXPECT_EQ(world.file_contents[previous_log_path].lines, "output of an earlier run\n");
    ASSERT_NE(world.handle(environment->log_handle), nullptr);
    EXPECT_TRUE(world.handle(environment->log_handle)->inheritable);

    // Two slots; the handle list points at the log handle's own storage; the job entry waits for a launch.
    ASSERT_EQ(world.attribute_lists.count(environment->attribute_list), 1u);
    EXPECT_EQ(world.attribute_lists.at(environment->attribute_list).count, 2u);
    const std::map<DWORD_PTR, void*> expected_entries = {
        {PROC_THREAD_ATTRIBUTE_HANDLE_LIST, static_cast<void*>(&environment->log_handle)}};
    EXPECT_EQ(world.attribute_entries(environment->attribute_list), expected_entries);

    EXPECT_EQ(world.live(), (names{"attribute list (HeapAlloc)", "file (CreateFileW)"}));
    EXPECT_TRUE(world.faults().empty()) << world.faults().front();
}

TEST(launch_environment, each_launch_goes_into_the_job_set_last_and_inherits_only_the_log)
{
    sim::world world;
    auto environment = std::make_unique<launch_environment>();
    ASSERT_TRUE(build_launch_environment(environment.get()));
    HANDLE token = world.make_token(1);
    HANDLE first_job = create_kill_on_close_job();
    HANDLE second_job = create_kill_on_close_job();
    // Another inheritable handle in the service: inheritance is on, yet it must not reach the companion.
    SECURITY_ATTRIBUTES inheritable = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE stray = os->CreateFileW(WIDE("C:\\Windows\\Temp\\other.txt"), GENERIC_WRITE, 0, &inheritable, CREATE_ALWAYS,
                                   0, nullptr);
    ASSERT_NE(first_job, nullptr);
    ASSERT_NE(second_job, nullptr);
    const std::string log_label = world.label_of(environment->log_handle);

    PROCESS_INFORMATION first = {};
    set_launch_job(environment.get(), first_job);
    EXPECT_EQ(environment->job_slot, first_job);
    EXPECT_EQ(world.attribute_entries(environment->attribute_list).at(PROC_THREAD_ATTRIBUTE_JOB_LIST),
              static_cast<void*>(&environment->job_slot));
    const sim::process_record* first_companion = launch(world, environment.get(), token, &first);
    ASSERT_NE(first_companion, nullptr);
    EXPECT_EQ(first_companion->job_label, world.label_of(first_job));
    EXPECT_EQ(first_companion->inherited, names{log_label});
    EXPECT_EQ(first_companion->std_output, environment->log_handle);
    EXPECT_EQ(first_companion->std_error, environment->log_handle);
    EXPECT_EQ(first_companion->std_input, nullptr);
    EXPECT_EQ(first_companion->desktop, WIDE("winsta0\\default"));

    PROCESS_INFORMATION second = {};
    set_launch_job(environment.get(), second_job);
    EXPECT_EQ(environment->job_slot, second_job);
    EXPECT_EQ(world.attribute_entries(environment->attribute_list).at(PROC_THREAD_ATTRIBUTE_JOB_LIST),
              static_cast<void*>(&environment->job_slot));
    const sim::process_record* second_companion = launch(world, environment.get(), token, &second);
    ASSERT_NE(second_companion, nullptr);
    EXPECT_EQ(second_companion->job_label, world.label_of(second_job));
    EXPECT_EQ(second_companion->inherited, names{log_label});

    // The job is what ends the companion: closing it ends exactly the process inside it.
    os->CloseHandle(first_job);
    EXPECT_EQ(world.process(first.dwProcessId)->ended, sim::end_reason::job_closed);
    EXPECT_TRUE(world.process(second.dwProcessId)->running());
    for (HANDLE handle : {first.hThread, first.hProcess, second.hThread, second.hProcess, second_job, token, stray}) {
        os->CloseHandle(handle);
    }
    EXPECT_EQ(world.live(), (names{"attribute list (HeapAlloc)", "file (CreateFileW)"}));
    EXPECT_TRUE(world.faults().empty()) << world.faults().front();
}

TEST(launch_environment, log_goes_to_the_private_temporary_directory_where_the_system_has_one)
{
    struct row {
        const char* name;
        bool has_private_temp_path;
        const char* failing; // nullptr: none
        wide_string log_path;
    };
    const wide_string private_log = WIDE("C:\\Windows\\SystemTemp\\orvane.log");
    const std::vector<row> rows = {
        {"newer Windows", true, nullptr, private_log},
        {"older Windows", false, nullptr, default_log_path},
        {"kernel32 not found", true, "GetModuleHandleW", default_log_path},
        {"lookup fails", true, "GetProcAddress", default_log_path},
        // Never the folder every user may write: the zeroed buffer names the current directory.
        {"private query fails", true, "GetTempPath2W", WIDE("orvane.log")},
    };
    for (const row& each : rows) {
        SCOPED_TRACE(each.name);
        sim::world world;
        if (each.has_private_temp_path) {
            world.private_temp_path = WIDE("C:\\Windows\\SystemTemp\\");
        }
        if (each.failing != nullptr) {
            world.fail(each.failing, 1, ERROR_ACCESS_DENIED);
        }
        auto environment = std::make_unique<launch_environment>();

        ASSERT_TRUE(build_launch_environment(environment.get()));
        EXPECT_EQ(world.files.count(each.log_path), 1u);
        EXPECT_EQ(world.calls("GetTempPathW"), each.log_path == default_log_path ? 1u : 0u);
    }
}

TEST(launch_environment, temporary_path_decides_whether_the_log_name_fits)
{
    // 249 characters of directory plus "orvane.log" and the terminator fill the 260-character buffer exactly.
    {
        sim::world world;
        world.temp_path = WIDE("C:\\") + wide_string(245, WIDE('d')) + WIDE("\\");
        ASSERT_EQ(world.temp_path.size(), 249u);
        auto environment = std::make_unique<launch_environment>();
        EXPECT_TRUE(build_launch_environment(environment.get()));
        EXPECT_EQ(world.files.count(world.temp_path + WIDE("orvane.log")), 1u);
    }
    // One character more: the append empties the path and the open fails; nothing else is made.
    {
        sim::world world;
        world.temp_path = WIDE("C:\\") + wide_string(246, WIDE('d')) + WIDE("\\");
        auto environment = std::make_unique<launch_environment>();
        EXPECT_FALSE(build_launch_environment(environment.get()));
        EXPECT_EQ(os->GetLastError(), ERROR_PATH_NOT_FOUND);
        EXPECT_TRUE(logged(world, "CreateFileW(\"\")"));
        EXPECT_EQ(world.calls("HeapAlloc"), 0u);
        EXPECT_TRUE(world.live().empty());
    }
}

TEST(launch_environment, build_failures_report_the_failing_call_and_keep_only_the_log)
{
    struct step {
        const char* operation;
        unsigned nth;
        DWORD injected;
        DWORD expected;
        names left_open;
    };
    const std::vector<step> steps = {
        {"CreateFileW", 1, ERROR_SHARING_VIOLATION, ERROR_SHARING_VIOLATION, {}},
        // HeapAlloc sets no error code; the size query before it left ERROR_INSUFFICIENT_BUFFER behind.
        {"HeapAlloc", 1, 0, ERROR_NOT_ENOUGH_MEMORY, {"file (CreateFileW)"}},
        {"InitializeProcThreadAttributeList",
         2,
         ERROR_INVALID_PARAMETER,
         ERROR_INVALID_PARAMETER,
         {"file (CreateFileW)"}},
    };
    for (const step& failing : steps) {
        SCOPED_TRACE(failing.operation);
        sim::world world;
        world.fail(failing.operation, failing.nth, failing.injected);
        auto environment = std::make_unique<launch_environment>();

        EXPECT_FALSE(build_launch_environment(environment.get()));

        EXPECT_EQ(os->GetLastError(), failing.expected);
        EXPECT_EQ(world.live(), failing.left_open);
        EXPECT_EQ(world.calls("UpdateProcThreadAttribute"), 0u);
        EXPECT_TRUE(world.faults().empty()) << world.faults().front();
    }
}

TEST(session_token, bound_to_the_session_and_the_own_token_closed)
{
    sim::world world;
    HANDLE token = create_session_token(3);
    ASSERT_NE(token, nullptr);
    EXPECT_EQ(world.token_session(token), 3u);
    EXPECT_TRUE(world.tokens.at(token).primary);
    EXPECT_EQ(world.live(), names{"token (DuplicateTokenEx)"}) << "the process token is closed";
    EXPECT_TRUE(world.faults().empty()) << world.faults().front();
}

TEST(kill_on_close_job, limits_are_kill_on_close_and_breakaway_only)
{
    sim::world world;
    HANDLE job = create_kill_on_close_job();
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(world.jobs.at(job).limit_flags, 0x2800u);
    EXPECT_EQ(world.live(), names{"job (CreateJobObjectW)"});
}

// Fails each platform call of `routine` in turn. Whichever call fails, nothing is closed twice, a
// failure leaves one of `kept_on_failure` open and an error code to read after the routine's own
// release (the injected one when `error_is_the_failing_calls`), and a success leaves exactly `made`.
// A failing release (CloseHandle, HeapFree) is not something a routine can make up for, so those
// rounds only check that nothing is closed twice.
void sweep(const std::function<bool()>& routine, const names& made, const std::vector<names>& kept_on_failure,
           bool error_is_the_failing_calls)
{
    for (std::uint64_t call = 1;; ++call) {
        SCOPED_TRACE("failing platform call #" + std::to_string(call));
        sim::world world;
        world.fail_call_number(call, injected_error);
        const bool succeeded = routine();
        const std::uint64_t calls_made = world.calls();
        const DWORD error = os->GetLastError();
        EXPECT_TRUE(world.faults().empty()) << world.faults().front();
        if (call > calls_made) {
            EXPECT_TRUE(succeeded) << "no fault was injected";
            break;
        }
        if (logged(world, "CloseHandle fails") || logged(world, "HeapFree fails")) {
            continue;
        }
        if (succeeded) {
            EXPECT_EQ(world.live(), made);
        } else {
            EXPECT_NE(error, ERROR_SUCCESS);
            if (error_is_the_failing_calls) {
                EXPECT_EQ(error, injected_error);
            }
            EXPECT_NE(std::find(kept_on_failure.begin(), kept_on_failure.end(), world.live()), kept_on_failure.end())
                << "left open: " << testing::PrintToString(world.live());
        }
    }
}

TEST(launch_environment, a_failure_at_any_call_leaks_nothing_closes_nothing_twice_and_leaves_its_error)
{
    {
        SCOPED_TRACE("build_launch_environment");
        launch_environment environment = {};
        sweep([&] { return build_launch_environment(&environment); },
              {"attribute list (HeapAlloc)", "file (CreateFileW)"}, {{}, {"file (CreateFileW)"}}, false);
    }
    {
        SCOPED_TRACE("create_session_token");
        sweep([] { return create_session_token(1) != nullptr; }, {"token (DuplicateTokenEx)"}, {{}}, true);
    }
    {
        SCOPED_TRACE("create_kill_on_close_job");
        sweep([] { return create_kill_on_close_job() != nullptr; }, {"job (CreateJobObjectW)"}, {{}}, true);
    }
}

} // namespace
