// The platform table of the simulated Windows: each Windows call acted out on the world.
#include "sim/sim_windows.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

namespace sim {
namespace {

using guard = world_guard;

world& w()
{
    return *world::current;
}

std::string hexv(std::uint64_t value)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

// An injected failure: sets the thread's error code as the failing call would.
// The real SRW lock behind the service's status lock: one std::mutex per lock address.
std::mutex srw_table_lock;
std::map<PSRWLOCK, std::unique_ptr<std::mutex>> srw_table;

std::mutex& srw_lock_for(PSRWLOCK lock)
{
    std::lock_guard<std::mutex> hold(srw_table_lock);
    std::unique_ptr<std::mutex>& entry = srw_table[lock];
    if (!entry) {
        entry = std::make_unique<std::mutex>();
    }
    return *entry;
}

template <typename Result> Result failed(DWORD error, Result value)
{
    w().set_error(error);
    return value;
}

// ---- Service control manager

BOOL WINAPI sim_StartServiceCtrlDispatcherA(const SERVICE_TABLE_ENTRYA* table)
{
    LPSERVICE_MAIN_FUNCTIONA routine = nullptr;
    LPSTR name = nullptr;
    {
        guard hold(w().lock);
        if (auto error = w().enter("StartServiceCtrlDispatcherA")) {
            return failed(*error, FALSE);
        }
        if (!w().started_by_service_manager) {
            w().log("StartServiceCtrlDispatcherA -> 0 (not started by the service manager)");
            return failed(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT, FALSE);
        }
        if (table == nullptr || table[0].lpServiceName == nullptr || table[0].lpServiceProc == nullptr ||
            table[1].lpServiceName != nullptr || table[1].lpServiceProc != nullptr) {
            w().fault("StartServiceCtrlDispatcherA with a malformed table");
            return failed(ERROR_INVALID_PARAMETER, FALSE);
        }
        w().log(std::string("StartServiceCtrlDispatcherA(") + table[0].lpServiceName + ")");
        routine = table[0].lpServiceProc;
        name = table[0].lpServiceName;
    }
    // The service routine runs on a thread of its own, as the dispatcher starts it.
    context_switch on_service_thread({service_pid, service_thread});
    LPSTR arguments[] = {name, nullptr};
    routine(1, arguments);
    return TRUE;
}

SERVICE_STATUS_HANDLE WINAPI sim_RegisterServiceCtrlHandlerExA(LPCSTR name, LPHANDLER_FUNCTION_EX handler,
                                                               LPVOID context)
{
    guard hold(w().lock);
    if (auto error = w().enter("RegisterServiceCtrlHandlerExA")) {
        return failed<SERVICE_STATUS_HANDLE>(*error, nullptr);
    }
    if (name == nullptr || std::strcmp(name, "OrvaneService") != 0) {
        w().log(std::string("RegisterServiceCtrlHandlerExA(") + (name ? name : "null") + ") -> unknown service");
        return failed<SERVICE_STATUS_HANDLE>(1060 /* ERROR_SERVICE_DOES_NOT_EXIST */, nullptr);
    }
    w().handler = handler;
    w().handler_context = context;
    w().status_handle = w().add_handle("service status", "RegisterServiceCtrlHandlerExA");
    w().log("RegisterServiceCtrlHandlerExA(" + std::string(name) + ") -> " + w().label_of(w().status_handle));
    return static_cast<SERVICE_STATUS_HANDLE>(w().status_handle);
}

BOOL WINAPI sim_SetServiceStatus(SERVICE_STATUS_HANDLE handle, LPSERVICE_STATUS status)
{
    // Two threads inside at once means the reports are not serialised: one may be torn or reordered.
    static std::atomic<int> inside{0};
    struct occupancy {
        occupancy() : overlapped(inside.fetch_add(1) != 0) {}
        ~occupancy() { inside.fetch_sub(1); }
        occupancy(const occupancy&) = delete;
        occupancy& operator=(const occupancy&) = delete;
        bool overlapped;
    } entered;
    guard hold(w().lock);
    if (entered.overlapped) {
        w().fault("SetServiceStatus entered by two threads at once");
    }
    if (auto error = w().enter("SetServiceStatus")) {
        return failed(*error, FALSE);
    }
    if (handle == nullptr || static_cast<HANDLE>(handle) != w().status_handle) {
        w().fault("SetServiceStatus with a handle that is not the status handle");
        return failed(ERROR_INVALID_HANDLE, FALSE);
    }
    w().reports_.push_back({w().now_, *status});
    if (w().status_report_latency.count() != 0) {
        std::this_thread::sleep_for(w().status_report_latency);
    }
    w().log("SetServiceStatus(state=" + std::to_string(status->dwCurrentState) +
            " controls=" + hexv(status->dwControlsAccepted) + " exit=" + std::to_string(status->dwWin32ExitCode) +
            " hint=" + std::to_string(status->dwWaitHint) + ")");
    return TRUE;
}

// ---- Events, waits, locks

HANDLE WINAPI sim_CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial_state, LPCSTR name)
{
    guard hold(w().lock);
    if (auto error = w().enter("CreateEventA")) {
        return failed<HANDLE>(*error, nullptr);
    }
    if (attributes != nullptr || name != nullptr) {
        w().fault("CreateEventA with security attributes or a name");
    }
    HANDLE event = w().add_handle("event", "CreateEventA");
    w().events[event] = {manual_reset != FALSE, initial_state != FALSE};
    w().log("CreateEventA(manual=" + std::to_string(manual_reset) + ") -> " + w().label_of(event));
    return event;
}

BOOL WINAPI sim_SetEvent(HANDLE event)
{
    guard hold(w().lock);
    w().log("SetEvent(" + w().label_of(event) + ")");
    if (auto error = w().enter("SetEvent")) {
        return failed(*error, FALSE);
    }
    auto found = w().events.find(event);
    if (found == w().events.end() || w().handle(event)->closed) {
        return failed(ERROR_INVALID_HANDLE, FALSE);
    }
    found->second.signalled = true;
    return TRUE;
}

DWORD WINAPI sim_WaitForSingleObject(HANDLE handle, DWORD timeout_ms)
{
    guard hold(w().lock);
    if (auto error = w().enter("WaitForSingleObject")) {
        return failed<DWORD>(*error, WAIT_FAILED);
    }
    const DWORD result = w().wait_any({handle}, timeout_ms, "WaitForSingleObject");
    w().log("WaitForSingleObject(" + w().label_of(handle) + ", " + std::to_string(timeout_ms) + ") -> " +
            std::to_string(result));
    return result;
}

DWORD WINAPI sim_WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all, DWORD timeout_ms)
{
    guard hold(w().lock);
    if (auto error = w().enter("WaitForMultipleObjects")) {
        return failed<DWORD>(*error, WAIT_FAILED);
    }
    if (wait_all != FALSE || count == 0 || count > 64) {
        w().fault("WaitForMultipleObjects with wait-all or a bad count");
        return failed<DWORD>(ERROR_INVALID_PARAMETER, WAIT_FAILED);
    }
    std::vector<HANDLE> waited(handles, handles + count);
    const DWORD result = w().wait_any(waited, timeout_ms, "WaitForMultipleObjects");
    std::string names;
    for (HANDLE h : waited) {
        names += (names.empty() ? "" : ",") + w().label_of(h);
    }
    w().log("WaitForMultipleObjects(" + names + ", " + std::to_string(timeout_ms) + ") -> " + std::to_string(result));
    return result;
}

void WINAPI sim_AcquireSRWLockExclusive(PSRWLOCK lock);
void WINAPI sim_ReleaseSRWLockExclusive(PSRWLOCK lock);

// ---- Sessions and tokens

DWORD WINAPI sim_WTSGetActiveConsoleSessionId()
{
    guard hold(w().lock);
    w().enter("WTSGetActiveConsoleSessionId", false);
    w().console_queries.push_back("t=" + std::to_string(w().now_) + " " + std::to_string(w().console_session_));
    w().log("WTSGetActiveConsoleSessionId() -> " + std::to_string(w().console_session_));
    return w().console_session_;
}

HANDLE WINAPI sim_GetCurrentProcess()
{
    guard hold(w().lock);
    w().enter("GetCurrentProcess", false);
    return INVALID_HANDLE_VALUE; // the pseudo handle, as on Windows
}

BOOL WINAPI sim_OpenProcessToken(HANDLE process, DWORD access, PHANDLE token)
{
    guard hold(w().lock);
    if (auto error = w().enter("OpenProcessToken")) {
        return failed(*error, FALSE);
    }
    if (process != INVALID_HANDLE_VALUE || access != TOKEN_DUPLICATE) {
        w().fault("OpenProcessToken not on the own process for duplication");
    }
    *token = w().add_handle("token", "OpenProcessToken");
    w().tokens[*token] = {w().processes[w().here().pid].session, true};
    w().log("OpenProcessToken() -> " + w().label_of(*token));
    return TRUE;
}

BOOL WINAPI sim_DuplicateTokenEx(HANDLE token, DWORD access, LPSECURITY_ATTRIBUTES attributes,
                                 SECURITY_IMPERSONATION_LEVEL level, TOKEN_TYPE type, PHANDLE new_token)
{
    guard hold(w().lock);
    if (auto error = w().enter("DuplicateTokenEx")) {
        return failed(*error, FALSE);
    }
    auto found = w().tokens.find(token);
    if (found == w().tokens.end() || w().handle(token)->closed) {
        return failed(ERROR_INVALID_HANDLE, FALSE);
    }
    if (access != TOKEN_ALL_ACCESS || attributes != nullptr || level != SecurityImpersonation || type != TokenPrimary) {
        w().fault("DuplicateTokenEx with unexpected access, attributes, level or type");
    }
    *new_token = w().add_handle("token", "DuplicateTokenEx");
    w().tokens[*new_token] = {found->second.session, type == TokenPrimary};
    w().log("DuplicateTokenEx(" + w().label_of(token) + ") -> " + w().label_of(*new_token));
    return TRUE;
}

BOOL WINAPI sim_SetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS info_class, LPVOID info, DWORD length)
{
    guard hold(w().lock);
    if (auto error = w().enter("SetTokenInformation")) {
        return failed(*error, FALSE);
    }
    auto found = w().tokens.find(token);
    if (found == w().tokens.end() || w().handle(token)->closed) {
        return failed(ERROR_INVALID_HANDLE, FALSE);
    }
    if (info_class != TokenSessionId || length != sizeof(DWORD) || info == nullptr) {
        return failed(ERROR_INVALID_PARAMETER, FALSE);
    }
    std::memcpy(&found->second.session, info, sizeof(DWORD));
    w().log("SetTokenInformation(" + w().label_of(token) + ", session=" + std::to_string(found->second.session) + ")");
    return TRUE;
}

// ---- Attribute lists and the heap

constexpr SIZE_T attribute_list_header_bytes = 48;
constexpr SIZE_T attribute_entry_bytes = 24;

BOOL WINAPI sim_InitializeProcThreadAttributeList(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD count, DWORD flags,
                                                  PSIZE_T size)
{
    guard hold(w().lock);
    if (auto error = w().enter("InitializeProcThreadAttributeList")) {
        return failed(*error, FALSE);
    }
    const SIZE_T needed = attribute_list_header_bytes + attribute_entry_bytes * count;
    if (flags != 0 || size == nullptr) {
        return failed(ERROR_INVALID_PARAMETER, FALSE);
    }
    if (list == nullptr || *size < needed) {
        // As on Windows: the size query "fails" with the size it needs.
        *size = needed;
        w().log("InitializeProcThreadAttributeList(null) -> size " + std::to_string(needed));
        return failed(ERROR_INSUFFICIENT_BUFFER, FALSE);
    }
    auto block = w().heap_blocks.find(list);
    if (block == w().heap_blocks.end() || block->second < needed) {
        w().fault("InitializeProcThreadAttributeList on memory that is not a large enough heap block");
        return failed(ERROR_INVALID_PARAMETER, FALSE);
    }
    w().attribute_lists[list] = {count, *size, {}};
    w().log("InitializeProcThreadAttributeList(count=" + std::to_string(count) + ")");
    return TRUE;
}

HANDLE WINAPI sim_GetProcessHeap()
{
    guard hold(w().lock);
    w().enter("GetProcessHeap", false);
    return reinterpret_cast<HANDLE>(0x7e0000);
}

LPVOID WINAPI sim_HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes)
{
    guard hold(w().lock);
    if (w().enter("HeapAlloc")) {
        // HeapAlloc reports failure by its null result alone and leaves the error code as it was.
        w().log("HeapAlloc -> null");
        return nullptr;
    }
    if (heap != reinterpret_cast<HANDLE>(0x7e0000) || flags != 0) {
        w().fault("HeapAlloc on another heap or with flags");
    }
    void* memory = std::calloc(1, bytes == 0 ? 1 : bytes);
    w().heap_blocks[memory] = bytes;
    w().log("HeapAlloc(" + std::to_string(bytes) + ")");
    return memory;
}

BOOL WINAPI sim_HeapFree(HANDLE /*heap*/, DWORD /*flags*/, LPVOID memory)
{
    guard hold(w().lock);
    if (auto error = w().enter("HeapFree")) {
        return failed(*error, FALSE);
    }
    auto found = w().heap_blocks.find(memory);
    if (found == w().heap_blocks.end()) {
        w().fault("HeapFree of memory that is not a live heap block");
        return failed(ERROR_INVALID_PARAMETER, FALSE);
    }
    w().heap_blocks.erase(found);
    w().attribute_lists.erase(memory);
    std::free(memory);
    w().log("HeapFree");
    return TRUE;
}

BOOL WINAPI sim_UpdateProcThreadAttribute(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD flags, DWORD_PTR attribute,
                                          PVOID value, SIZE_T size, PVOID previous, PSIZE_T return_size)
{
    guard hold(w().lock);
    if (auto error = w().enter("UpdateProcThreadAttribute")) {
        return failed(*error, FALSE);
    }
    auto found = w().attribute_lists.find(list);
    if (found == w().attribute_lists.end()) {
        w().fault("UpdateProcThreadAttribute on a list that was never initialised");
        return failed(ERROR_INVALID_PARAMETER, FALSE);
    }
    if (flags != 0 || size != sizeof(HANDLE) || previous != nullptr || return_size != nullptr || value == nullptr ||
        (attribute != PROC_THREAD_ATTRIBUTE_HANDLE_LIST && attribute != PROC_THREAD_ATTRIBUTE_JOB_LIST)) {
        return failed(ERROR_INVALID_PARAMETER, FALSE);
    }
    if (found->second.entries.count(attribute) == 0 && found->second.entries.size() >= found->second.count) {
        return failed(ERROR_INSUFFICIENT_BUFFER, FALSE);
    }
    found->second.entries[attribute] = value;
    w().log("UpdateProcThreadAttribute(" + hexv(attribute) + ")");
    return TRUE;
}

// ---- Jobs

HANDLE WINAPI sim_CreateJobObjectW(LPSECURITY_ATTRIBUTES attributes, LPCWSTR name)
{
    guard hold(w().lock);
    if (auto error = w().enter("CreateJobObjectW")) {
        return failed<HANDLE>(*error, nullptr);
    }
    if (attributes != nullptr || name != nullptr) {
        w().fault("CreateJobObjectW with security attributes or a name");
    }
    HANDLE job = w().add_handle("job", "CreateJobObjectW");
    w().jobs[job] = {};
    w().log("CreateJobObjectW() -> " + w().label_of(job));
    return job;
}

BOOL WINAPI sim_SetInformationJobObject(HANDLE job, JOBOBJECTINFOCLASS info_class, LPVOID info, DWORD length)
{
    guard hold(w().lock);
    if (auto error = w().enter("SetInformationJobObject")) {
        return failed(*error, FALSE);
    }
    auto found = w().jobs.find(job);
    if (found == w().jobs.end() || w().handle(job)->closed) {
        return failed(ERROR_INVALID_HANDLE, FALSE);
    }
    if (info_class != JobObjectExtendedLimitInformation || length != sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION)) {
        return failed(ERROR_INVALID_PARAMETER, FALSE);
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    std::memcpy(&limits, info, sizeof limits);
    found->second.limit_flags = limits.BasicLimitInformation.LimitFlags;
    w().log("SetInformationJobObject(" + w().label_of(job) +
            ", flags=" + hexv(limits.BasicLimitInformation.LimitFlags) + ")");
    return TRUE;
}

// ---- Processes

bool file_exists(const wide_string& path)
{
    return w().files.count(path) != 0;
}

wide_string resolve(const wide_string& name)
{
    if (name.find(WIDE('\\')) != wide_string::npos) {
        return name;
    }
    wide_string directory = w().current_directory;
    if (!directory.empty() && directory.back() != WIDE('\\')) {
        directory += WIDE('\\');
    }
    return directory + name;
}

BOOL WINAPI sim_CreateProcessAsUserW(HANDLE token, LPCWSTR application_name, LPWSTR command_line,
                                     LPSECURITY_ATTRIBUTES process_attributes, LPSECURITY_ATTRIBUTES thread_attributes,
                                     BOOL inherit_handles, DWORD creation_flags, LPVOID environment,
                                     LPCWSTR current_directory, LPSTARTUPINFOW startup_info,
                                     LPPROCESS_INFORMATION process_information)
{
    guard hold(w().lock);
    if (auto error = w().enter("CreateProcessAsUserW")) {
        return failed(*error, FALSE);
    }
    auto token_found = w().tokens.find(token);
    if (token_found == w().tokens.end() || w().handle(token)->closed || !token_found->second.primary) {
        w().log("CreateProcessAsUserW -> no primary token");
        return failed(ERROR_INVALID_HANDLE, FALSE);
    }
    if (process_attributes != nullptr || thread_attributes != nullptr || environment != nullptr ||
        current_directory != nullptr) {
        w().fault("CreateProcessAsUserW with attributes, an environment or a directory");
    }
    if (command_line != nullptr) {
        // Windows may write into the command line while it parses it: it must be writable memory.
        volatile WCHAR* writable = command_line;
        const WCHAR first = writable[0];
        writable[0] = 0;
        writable[0] = first;
    }
    if (application_name == nullptr) {
        return failed(ERROR_INVALID_PARAMETER, FALSE);
    }
    const wide_string application = resolve(application_name);
    if (!file_exists(application)) {
        w().log("CreateProcessAsUserW(" + narrow(application) + ") -> file not found");
        return failed(ERROR_FILE_NOT_FOUND, FALSE);
    }
    process_record record;
    record.parent_pid = w().here().pid;
    record.application = application;
    record.command_line = command_line ? wide_string(command_line) : wide_string();
    record.argv = split_command_line(command_line ? record.command_line : wide_string(application_name));
    record.session = token_found->second.session;
    record.token_label = w().label_of(token);
    record.creation_flags = creation_flags;
    record.inherit_handles = inherit_handles;
    record.startup_size = startup_info->cb;
    record.startup_flags = startup_info->dwFlags;
    record.desktop = startup_info->lpDesktop ? wide_string(startup_info->lpDesktop) : wide_string();
    record.std_input = startup_info->hStdInput;
    record.std_output = startup_info->hStdOutput;
    record.std_error = startup_info->hStdError;
    HANDLE job = nullptr;
    if ((creation_flags & EXTENDED_STARTUPINFO_PRESENT) != 0) {
        if (startup_info->cb != sizeof(STARTUPINFOEXW)) {
            return failed(ERROR_INVALID_PARAMETER, FALSE);
        }
        auto* extended = reinterpret_cast<STARTUPINFOEXW*>(startup_info);
        auto list = w().attribute_lists.find(extended->lpAttributeList);
        if (extended->lpAttributeList != nullptr && list == w().attribute_lists.end()) {
            w().fault("CreateProcessAsUserW with an attribute list that is not initialised");
            return failed(ERROR_INVALID_PARAMETER, FALSE);
        }
        if (list != w().attribute_lists.end()) {
            if (auto entry = list->second.entries.find(PROC_THREAD_ATTRIBUTE_HANDLE_LIST);
                entry != list->second.entries.end()) {
                HANDLE listed = *static_cast<HANDLE*>(entry->second);
                const handle_record* listed_record = w().handle(listed);
                if (listed_record == nullptr || listed_record->closed || !listed_record->inheritable) {
                    w().fault("CreateProcessAsUserW with a handle list naming " + w().label_of(listed) +
                              ", which is not an open, inheritable handle");
                    return failed(ERROR_INVALID_PARAMETER, FALSE);
                }
                // The child's standard handles are values in its own table: only one passed on is valid there.
                if ((startup_info->dwFlags & STARTF_USESTDHANDLES) != 0 &&
                    (startup_info->hStdOutput != listed || startup_info->hStdError != listed)) {
                    w().fault("CreateProcessAsUserW with standard output or error other than the listed handle");
                }
                if (inherit_handles) {
                    record.inherited.push_back(listed_record->label);
                }
            } else if (inherit_handles) {
                for (const auto& [h, handle] : w().handles) {
                    if (!handle.closed && handle.inheritable) {
                        record.inherited.push_back(handle.label);
                    }
                }
            }
            if (auto entry = list->second.entries.find(PROC_THREAD_ATTRIBUTE_JOB_LIST);
                entry != list->second.entries.end()) {
                job = *static_cast<HANDLE*>(entry->second);
                if (w().jobs.count(job) == 0 || w().handle(job)->closed) {
                    return failed(ERROR_INVALID_HANDLE, FALSE);
                }
                record.job_label = w().label_of(job);
            }
        }
    } else if (startup_info->cb != sizeof(STARTUPINFOW)) {
        return failed(ERROR_INVALID_PARAMETER, FALSE);
    }
    const bool is_helper = application == w().executable_path;
    record.is_helper = is_helper;
    if ((creation_flags & DETACHED_PROCESS) == 0) {
        record.console = w().new_console();
    }
    if (!is_helper) {
        if (!w().queued_companions.empty()) {
            record.behaviour = w().queued_companions.front();
            w().queued_companions.erase(w().queued_companions.begin());
        }
    }
    const DWORD pid = w().new_process(record);
    if (job != nullptr) {
        w().jobs[job].members.push_back(pid);
    }
    // The companion's output, written as it starts into the file its standard output names.
    if (auto output = w().file_paths.find(record.std_output); !is_helper && output != w().file_paths.end()) {
        w().append_to_file(output->second, "companion " + std::to_string(w().companions().size()) + "\n",
                           record.behaviour.output_bytes);
    }
    process_information->hProcess = w().add_handle("process", "CreateProcessAsUserW");
    process_information->hThread = w().add_handle("thread", "CreateProcessAsUserW");
    process_information->dwProcessId = pid;
    process_information->dwThreadId = pid + 1;
    w().process_handles[process_information->hProcess] = pid;
    w().process_handles[process_information->hThread] = pid;
    w().log("CreateProcessAsUserW(" + narrow(application) + (command_line ? " " + narrow(record.command_line) : "") +
            ") -> pid " + std::to_string(pid));
    if (is_helper) {
        // The helper copy runs its own entry at once, in a process of its own.
        std::vector<std::string> argv_text = w().processes[pid].argv;
        std::vector<char*> argv;
        for (std::string& text : argv_text) {
            argv.push_back(text.data());
        }
        argv.push_back(nullptr);
        int result = 0;
        {
            context_switch in_helper({pid, 1});
            result = w().helper_program(static_cast<int>(argv_text.size()), argv.data());
        }
        if (!w().helper_hangs) {
            const DWORD code = static_cast<DWORD>(result);
            w().schedule_at(w().now_ + w().helper_run_ms,
                            [pid, code] { w().end_process(pid, code, end_reason::by_itself); });
        }
    }
    return TRUE;
}

BOOL WINAPI sim_GetExitCodeProcess(HANDLE process, LPDWORD exit_code)
{
    guard hold(w().lock);
    if (auto error = w().enter("GetExitCodeProcess")) {
        return failed(*error, FALSE);
    }
    auto found = w().process_handles.find(process);
    if (found == w().process_handles.end() || w().handle(process)->closed || w().handle(process)->kind != "process") {
        return failed(ERROR_INVALID_HANDLE, FALSE);
    }
    *exit_code = w().processes[found->second].exit_code;
    w().log("GetExitCodeProcess(" + w().label_of(process) + ") -> " + std::to_string(*exit_code));
    return TRUE;
}

BOOL WINAPI sim_TerminateProcess(HANDLE process, UINT exit_code)
{
    guard hold(w().lock);
    w().log("TerminateProcess(" + w().label_of(process) + ", " + std::to_string(exit_code) + ")");
    if (auto error = w().enter("TerminateProcess")) {
        return failed(*error, FALSE);
    }
    auto found = w().process_handles.find(process);
    if (found == w().process_handles.end() || w().handle(process)->closed || w().handle(process)->kind != "process") {
        return failed(ERROR_INVALID_HANDLE, FALSE);
    }
    process_record& record = w().processes[found->second];
    if (!record.running()) {
        return failed(ERROR_ACCESS_DENIED, FALSE);
    }
    w().end_process(record.pid, exit_code, end_reason::terminated);
    return TRUE;
}

BOOL WINAPI sim_CloseHandle(HANDLE handle)
{
    guard hold(w().lock);
    w().log("CloseHandle(" + w().label_of(handle) + ")");
    if (auto error = w().enter("CloseHandle")) {
        return failed(*error, FALSE);
    }
    if (!w().close_handle(handle)) {
        return failed(ERROR_INVALID_HANDLE, FALSE);
    }
    return TRUE;
}

// ---- Files and paths

DWORD WINAPI sim_GetModuleFileNameW(HMODULE module, LPWSTR buffer, DWORD size)
{
    guard hold(w().lock);
    if (auto error = w().enter("GetModuleFileNameW")) {
        return failed<DWORD>(*error, 0);
    }
    if (module != nullptr || size == 0) {
        return failed<DWORD>(ERROR_INVALID_PARAMETER, 0);
    }
    // The service process runs whatever executable the scenario names, even if it changed it late.
    const DWORD pid = w().here().pid;
    const wide_string& path = pid == service_pid ? w().executable_path : w().processes[pid].application;
    if (path.size() + 1 > size) {
        // Truncated, terminated, and the full size returned, as Windows does.
        std::memcpy(buffer, path.data(), (size - 1) * sizeof(WCHAR));
        buffer[size - 1] = 0;
        w().set_error(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(buffer, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    return static_cast<DWORD>(path.size());
}

BOOL WINAPI sim_SetCurrentDirectoryW(LPCWSTR path)
{
    guard hold(w().lock);
    if (auto error = w().enter("SetCurrentDirectoryW")) {
        return failed(*error, FALSE);
    }
    if (path == nullptr) {
        return failed(ERROR_INVALID_PARAMETER, FALSE);
    }
    w().current_directory = path;
    w().log("SetCurrentDirectoryW(" + narrow(path) + ")");
    return TRUE;
}

DWORD WINAPI sim_GetTempPathW(DWORD size, LPWSTR buffer)
{
    guard hold(w().lock);
    if (auto error = w().enter("GetTempPathW")) {
        return failed<DWORD>(*error, 0);
    }
    const wide_string& path = w().temp_path;
    if (path.size() + 1 > size) {
        return static_cast<DWORD>(path.size() + 1);
    }
    std::memcpy(buffer, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    return static_cast<DWORD>(path.size());
}

DWORD WINAPI sim_GetTempPath2W(DWORD size, LPWSTR buffer)
{
    guard hold(w().lock);
    if (auto error = w().enter("GetTempPath2W")) {
        return failed<DWORD>(*error, 0);
    }
    if (!w().private_temp_path) {
        w().fault("GetTempPath2W called on a system that lacks it");
        return failed<DWORD>(ERROR_CALL_NOT_IMPLEMENTED, 0);
    }
    const wide_string& path = *w().private_temp_path;
    if (path.size() + 1 > size) {
        return static_cast<DWORD>(path.size() + 1);
    }
    std::memcpy(buffer, path.c_str(), (path.size() + 1) * sizeof(WCHAR));
    return static_cast<DWORD>(path.size());
}

// kernel32's module handle: any non-null value; module handles are not closed.
HMODULE const kernel32_module = reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x7ff800000000));

HMODULE WINAPI sim_GetModuleHandleW(LPCWSTR module_name)
{
    guard hold(w().lock);
    if (auto error = w().enter("GetModuleHandleW")) {
        return failed<HMODULE>(*error, nullptr);
    }
    wide_string name = module_name != nullptr ? module_name : WIDE("");
    for (WCHAR& c : name) {
        c = c >= WIDE('A') && c <= WIDE('Z') ? static_cast<WCHAR>(c - WIDE('A') + WIDE('a')) : c;
    }
    w().log("GetModuleHandleW(" + narrow(name) + ")");
    if (name != WIDE("kernel32.dll") && name != WIDE("kernel32")) {
        return failed<HMODULE>(ERROR_MOD_NOT_FOUND, nullptr);
    }
    return kernel32_module;
}

FARPROC WINAPI sim_GetProcAddress(HMODULE module, LPCSTR procedure_name)
{
    guard hold(w().lock);
    if (auto error = w().enter("GetProcAddress")) {
        return failed<FARPROC>(*error, nullptr);
    }
    if (module != kernel32_module || procedure_name == nullptr) {
        w().fault("GetProcAddress on a module the service never asked for");
        return failed<FARPROC>(ERROR_INVALID_HANDLE, nullptr);
    }
    const std::string name(procedure_name);
    w().log("GetProcAddress(kernel32, " + name + ")");
    if (name == "GetTempPath2W" && w().private_temp_path) {
        return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&sim_GetTempPath2W));
    }
    return failed<FARPROC>(ERROR_PROC_NOT_FOUND, nullptr);
}

errno_t sim_wcscat_s(WCHAR* destination, rsize_t size, const WCHAR* source)
{
    guard hold(w().lock);
    w().enter("wcscat_s", false);
    return bounded_wcscat(destination, size, source);
}

HANDLE WINAPI sim_CreateFileW(LPCWSTR path, DWORD access, DWORD share_mode, LPSECURITY_ATTRIBUTES attributes,
                              DWORD disposition, DWORD flags_and_attributes, HANDLE template_file)
{
    guard hold(w().lock);
    if (auto error = w().enter("CreateFileW")) {
        return failed<HANDLE>(*error, INVALID_HANDLE_VALUE);
    }
    if (path == nullptr || path[0] == 0) {
        w().log("CreateFileW(\"\") -> path not found");
        return failed<HANDLE>(ERROR_PATH_NOT_FOUND, INVALID_HANDLE_VALUE);
    }
    if (flags_and_attributes != 0 || template_file != nullptr) {
        w().fault("CreateFileW with attributes or a template");
    }
    const wide_string name(path);
    const bool inheritable = attributes != nullptr && attributes->nLength == sizeof(SECURITY_ATTRIBUTES) &&
                             attributes->bInheritHandle != FALSE;
    if (w().file_held_open(name)) {
        w().log("CreateFileW(" + narrow(name) + ") -> held open");
        return failed<HANDLE>(ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE);
    }
    if (disposition == CREATE_ALWAYS) {
        w().file_contents.erase(name);
    } else if ((access & GENERIC_WRITE) != 0 && w().file_contents.count(name) != 0) {
        w().fault("CreateFileW opens " + narrow(name) + " for writing over it from its start");
    }
    if (name != WIDE("NUL")) {
        w().files.insert(name);
    }
    HANDLE file = w().add_handle("file", "CreateFileW", inheritable);
    w().file_paths[file] = name;
    w().log("CreateFileW(" + narrow(name) + ", access=" + hexv(access) + ", share=" + std::to_string(share_mode) +
            ", inheritable=" + std::to_string(inheritable) + ", disposition=" + std::to_string(disposition) + ") -> " +
            w().label_of(file));
    return file;
}

BOOL WINAPI sim_GetFileSizeEx(HANDLE file, PLARGE_INTEGER size)
{
    guard hold(w().lock);
    if (auto error = w().enter("GetFileSizeEx")) {
        return failed(*error, FALSE);
    }
    auto found = w().file_paths.find(file);
    if (found == w().file_paths.end() || w().handle(file)->closed) {
        w().fault("GetFileSizeEx on " + w().label_of(file) + ", which is not an open file");
        return failed(ERROR_INVALID_HANDLE, FALSE);
    }
    size->QuadPart = static_cast<LONGLONG>(w().file_contents[found->second].size_bytes);
    return TRUE;
}

BOOL WINAPI sim_MoveFileExW(LPCWSTR existing_path, LPCWSTR new_path, DWORD flags)
{
    guard hold(w().lock);
    if (auto error = w().enter("MoveFileExW")) {
        return failed(*error, FALSE);
    }
    const wide_string from(existing_path);
    const wide_string to(new_path);
    w().log("MoveFileExW(" + narrow(from) + ", " + narrow(to) + ")");
    if (w().files.count(from) == 0) {
        return failed(ERROR_FILE_NOT_FOUND, FALSE);
    }
    // The rename opens the file for deletion, which a handle not sharing delete access refuses, and an
    // open target cannot be replaced (Wine 8 answers 32 and 5, as Windows does).
    if (w().file_held_open(from)) {
        return failed(ERROR_SHARING_VIOLATION, FALSE);
    }
    if (w().files.count(to) != 0 && (w().file_held_open(to) || (flags & MOVEFILE_REPLACE_EXISTING) == 0)) {
        return failed(w().file_held_open(to) ? ERROR_ACCESS_DENIED : ERROR_ALREADY_EXISTS, FALSE);
    }
    w().file_contents[to] = w().file_contents[from];
    w().file_contents.erase(from);
    w().files.erase(from);
    w().files.insert(to);
    return TRUE;
}

// ---- Consoles, errors and process end

BOOL WINAPI sim_FreeConsole()
{
    guard hold(w().lock);
    if (auto error = w().enter("FreeConsole")) {
        return failed(*error, FALSE);
    }
    process_record& self = w().processes[w().here().pid];
    w().log("FreeConsole()");
    if (self.console == 0) {
        return failed(ERROR_INVALID_PARAMETER, FALSE);
    }
    self.console = 0;
    return TRUE;
}

BOOL WINAPI sim_AttachConsole(DWORD process_id)
{
    guard hold(w().lock);
    if (auto error = w().enter("AttachConsole")) {
        return failed(*error, FALSE);
    }
    process_record& self = w().processes[w().here().pid];
    auto target = w().processes.find(process_id);
    w().log("AttachConsole(" + std::to_string(process_id) + ")");
    if (self.console != 0) {
        return failed(ERROR_ACCESS_DENIED, FALSE);
    }
    if (target == w().processes.end() || !target->second.running()) {
        return failed(ERROR_INVALID_PARAMETER, FALSE);
    }
    if (target->second.console == 0) {
        return failed(ERROR_INVALID_HANDLE, FALSE);
    }
    self.console = target->second.console;
    return TRUE;
}

BOOL WINAPI sim_SetConsoleCtrlHandler(PHANDLER_ROUTINE routine, BOOL add)
{
    guard hold(w().lock);
    if (auto error = w().enter("SetConsoleCtrlHandler")) {
        return failed(*error, FALSE);
    }
    w().log("SetConsoleCtrlHandler(" + std::string(routine ? "routine" : "null") + ", " + std::to_string(add) + ")");
    if (routine == nullptr) {
        w().processes[w().here().pid].ignores_ctrl_c = add != FALSE;
    }
    return TRUE;
}

BOOL WINAPI sim_GenerateConsoleCtrlEvent(DWORD ctrl_event, DWORD group)
{
    guard hold(w().lock);
    if (auto error = w().enter("GenerateConsoleCtrlEvent")) {
        return failed(*error, FALSE);
    }
    w().log("GenerateConsoleCtrlEvent(" + std::to_string(ctrl_event) + ", " + std::to_string(group) + ")");
    const int console = w().processes[w().here().pid].console;
    if (console == 0) {
        return failed(ERROR_INVALID_HANDLE, FALSE);
    }
    if (ctrl_event != CTRL_C_EVENT || group != 0) {
        return failed(ERROR_INVALID_PARAMETER, FALSE);
    }
    w().raise_ctrl_c(console);
    return TRUE;
}

DWORD WINAPI sim_GetLastError()
{
    guard hold(w().lock);
    w().enter("GetLastError", false);
    return w().last_error_of_this_thread();
}

void WINAPI sim_SetLastError(DWORD error)
{
    guard hold(w().lock);
    w().enter("SetLastError", false);
    w().set_error(error);
}

void WINAPI sim_ExitProcess(UINT exit_code)
{
    {
        guard hold(w().lock);
        w().enter("ExitProcess", false);
        w().log("ExitProcess(" + std::to_string(exit_code) + ")");
        w().exit_process_code_ = exit_code;
    }
    throw process_exited{exit_code};
}

void WINAPI sim_AcquireSRWLockExclusive(PSRWLOCK lock)
{
    srw_lock_for(lock).lock();
}

void WINAPI sim_ReleaseSRWLockExclusive(PSRWLOCK lock)
{
    srw_lock_for(lock).unlock();
}

} // namespace

extern const platform_ops sim_platform_ops;
const platform_ops sim_platform_ops = {
    .StartServiceCtrlDispatcherA = sim_StartServiceCtrlDispatcherA,
    .RegisterServiceCtrlHandlerExA = sim_RegisterServiceCtrlHandlerExA,
    .SetServiceStatus = sim_SetServiceStatus,
    .CreateEventA = sim_CreateEventA,
    .SetEvent = sim_SetEvent,
    .WaitForSingleObject = sim_WaitForSingleObject,
    .WaitForMultipleObjects = sim_WaitForMultipleObjects,
    .AcquireSRWLockExclusive = sim_AcquireSRWLockExclusive,
    .ReleaseSRWLockExclusive = sim_ReleaseSRWLockExclusive,
    .WTSGetActiveConsoleSessionId = sim_WTSGetActiveConsoleSessionId,
    .GetCurrentProcess = sim_GetCurrentProcess,
    .OpenProcessToken = sim_OpenProcessToken,
    .DuplicateTokenEx = sim_DuplicateTokenEx,
    .SetTokenInformation = sim_SetTokenInformation,
    .InitializeProcThreadAttributeList = sim_InitializeProcThreadAttributeList,
    .GetProcessHeap = sim_GetProcessHeap,
    .HeapAlloc = sim_HeapAlloc,
    .HeapFree = sim_HeapFree,
    .UpdateProcThreadAttribute = sim_UpdateProcThreadAttribute,
    .CreateJobObjectW = sim_CreateJobObjectW,
    .SetInformationJobObject = sim_SetInformationJobObject,
    .CreateProcessAsUserW = sim_CreateProcessAsUserW,
    .GetExitCodeProcess = sim_GetExitCodeProcess,
    .TerminateProcess = sim_TerminateProcess,
    .CloseHandle = sim_CloseHandle,
    .GetModuleFileNameW = sim_GetModuleFileNameW,
    .SetCurrentDirectoryW = sim_SetCurrentDirectoryW,
    .GetTempPathW = sim_GetTempPathW,
    .GetModuleHandleW = sim_GetModuleHandleW,
    .GetProcAddress = sim_GetProcAddress,
    .wcscat_s = sim_wcscat_s,
    .CreateFileW = sim_CreateFileW,
    .GetFileSizeEx = sim_GetFileSizeEx,
    .MoveFileExW = sim_MoveFileExW,
    .FreeConsole = sim_FreeConsole,
    .AttachConsole = sim_AttachConsole,
    .SetConsoleCtrlHandler = sim_SetConsoleCtrlHandler,
    .GenerateConsoleCtrlEvent = sim_GenerateConsoleCtrlEvent,
    .GetLastError = sim_GetLastError,
    .SetLastError = sim_SetLastError,
    .ExitProcess = sim_ExitProcess,
};

} // namespace sim
