// The simulated Windows: the world's bookkeeping and the platform table that drives it.
#include "sim/sim_windows.h"

#include "host/entry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>

namespace sim {

world* world::current = nullptr;

namespace {

thread_local world::context tls_context{service_pid, dispatcher_thread};

std::string hex(std::uint64_t value)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

} // namespace

// Splits a command line as the C runtime does for the common cases: spaces separate, quotes group.
std::vector<std::string> split_command_line(const wide_string& line)
{
    std::vector<std::string> parts;
    std::string part;
    bool quoted = false;
    bool any = false;
    for (WCHAR c : line) {
        if (c == WIDE('"')) {
            quoted = !quoted;
            any = true;
        } else if (c == WIDE(' ') && !quoted) {
            if (any) {
                parts.push_back(part);
            }
            part.clear();
            any = false;
        } else {
            part += static_cast<char>(c);
            any = true;
        }
    }
    if (any) {
        parts.push_back(part);
    }
    return parts;
}

std::string narrow(const wide_string& text)
{
    std::string out;
    for (WCHAR c : text) {
        out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return out;
}

wide_string widen(const std::string& text)
{
    return wide_string(text.begin(), text.end());
}

program_behaviour runs_until_ctrl_c()
{
    return {};
}

program_behaviour exits_after(virtual_ms delay_ms, DWORD exit_code)
{
    program_behaviour behaviour;
    behaviour.ends_after_ms = delay_ms;
    behaviour.own_exit_code = exit_code;
    return behaviour;
}

program_behaviour ignores_ctrl_c()
{
    program_behaviour behaviour;
    behaviour.ignores_ctrl_c = true;
    return behaviour;
}

program_behaviour ends_on_ctrl_c_after(virtual_ms delay_ms, DWORD exit_code)
{
    program_behaviour behaviour;
    behaviour.ctrl_c_delay_ms = delay_ms;
    behaviour.ctrl_c_exit_code = exit_code;
    return behaviour;
}

// ---------------------------------------------------------------- moments

moment& moment::stop()
{
    return control(SERVICE_CONTROL_STOP);
}

moment& moment::preshutdown()
{
    return control(SERVICE_CONTROL_PRESHUTDOWN);
}

moment& moment::interrogate()
{
    return control(SERVICE_CONTROL_INTERROGATE);
}

moment& moment::control(DWORD control, DWORD event_type)
{
    world* target = &world_;
    world_.schedule_at(at_, [target, control, event_type] { target->deliver_control(control, event_type); });
    return *this;
}

moment& moment::console_connect(DWORD session)
{
    console_session(session);
    return control(SERVICE_CONTROL_SESSIONCHANGE, WTS_CONSOLE_CONNECT);
}

moment& moment::console_disconnect()
{
    console_session(0xFFFFFFFF);
    return control(SERVICE_CONTROL_SESSIONCHANGE, WTS_CONSOLE_DISCONNECT);
}

moment& moment::console_session(DWORD session)
{
    world* target = &world_;
    world_.schedule_at(at_, [target, session] { target->console_session_ = session; });
    return *this;
}

moment& moment::add_file(const wide_string& path)
{
    world* target = &world_;
    world_.schedule_at(at_, [target, path] { target->files.insert(path); });
    return *this;
}

moment& moment::run(std::function<void()> action)
{
    world_.schedule_at(at_, std::move(action));
    return *this;
}

// ---------------------------------------------------------------- bookkeeping

world::context& world::here()
{
    return tls_context;
}

namespace {

thread_local int world_lock_depth = 0;

// Lets go of every hold this thread has on the world lock until the end of its scope. On Windows the
// handler runs on the dispatcher thread, which holds nothing of the thread whose wait delivered the
// control; holding the world lock across the handler would order it before the status lock, the
// reverse of every report, a lock-order cycle only the simulation would have.
class world_lock_released {
  public:
    explicit world_lock_released(std::recursive_mutex& lock) : lock_(lock), depth_(world_lock_depth)
    {
        for (int i = 0; i < depth_; ++i) {
            lock_.unlock();
        }
        world_lock_depth = 0;
    }
    ~world_lock_released()
    {
        for (int i = 0; i < depth_; ++i) {
            lock_.lock();
        }
        world_lock_depth = depth_;
    }
    world_lock_released(const world_lock_released&) = delete;
    world_lock_released& operator=(const world_lock_released&) = delete;

  private:
    std::recursive_mutex& lock_;
    int depth_;
};

} // namespace

world_guard::world_guard(std::recursive_mutex& lock) : lock_(lock)
{
    lock_.lock();
    ++world_lock_depth;
}

world_guard::~world_guard()
{
    --world_lock_depth;
    lock_.unlock();
}

context_switch::context_switch(world::context next) : saved_(tls_context)
{
    tls_context = next;
}

context_switch::~context_switch()
{
    tls_context = saved_;
}

void world::schedule_at(virtual_ms at, std::function<void()> action)
{
    schedule.push(happening{at, next_order_++, std::move(action)});
}

void world::next_companions(std::vector<program_behaviour> behaviours)
{
    queued_companions = std::move(behaviours);
}

void world::fail(const std::string& operation, unsigned nth, DWORD error)
{
    fault_rules.push_back({operation, nth, error});
}

void world::fail_call_number(std::uint64_t nth, DWORD error)
{
    fail_call_number_ = nth;
    fail_call_number_error_ = error;
}

std::vector<std::string> world::take_faults()
{
    std::vector<std::string> taken;
    taken.swap(faults_);
    return taken;
}

void world::fault(const std::string& what)
{
    faults_.push_back("t=" + std::to_string(now_) + " " + what);
}

void world::log(const std::string& line)
{
    const char* who = here().pid == service_pid ? (here().thread == dispatcher_thread ? "main" : "svc") : "helper";
    call_log_.push_back("t=" + std::to_string(now_) + " [" + who + "] " + line);
}

std::optional<DWORD> world::enter(const std::string& operation, bool can_fail)
{
    ++total_calls_;
    auto counted = call_counts.try_emplace(operation).first;
    const std::uint64_t nth_of_operation = ++counted->second;
    call_records_.push_back({now_, &counted->first});
    if (total_calls_ > max_calls) {
        fault("call budget spent at " + operation);
        throw scenario_aborted{"more than " + std::to_string(max_calls) + " platform calls"};
    }
    if (!can_fail) {
        return std::nullopt;
    }
    if (fail_call_number_ != 0 && total_calls_ == fail_call_number_) {
        log(operation + " fails (call #" + std::to_string(total_calls_) + ")");
        return fail_call_number_error_;
    }
    for (const fault_rule& rule : fault_rules) {
        if (rule.operation == operation && (rule.nth == 0 || rule.nth == nth_of_operation)) {
            log(operation + " fails (injected)");
            return rule.error;
        }
    }
    return std::nullopt;
}

void world::set_error(DWORD error)
{
    last_errors[{here().pid, here().thread}] = error;
}

DWORD world::last_error_of_this_thread() const
{
    auto found = last_errors.find({tls_context.pid, tls_context.thread});
    return found == last_errors.end() ? 0 : found->second;
}

HANDLE world::add_handle(const std::string& kind, const std::string& created_by, bool inheritable)
{
    HANDLE h = reinterpret_cast<HANDLE>(next_handle_);
    next_handle_ += 4;
    handles[h] = handle_record{kind, kind + "#" + std::to_string(++kind_counts_[kind]), created_by, false, inheritable};
    return h;
}

std::string world::label_of(HANDLE h) const
{
    auto found = handles.find(h);
    if (found != handles.end()) {
        return found->second.label;
    }
    if (h == nullptr) {
        return "null";
    }
    return hex(reinterpret_cast<std::uint64_t>(h));
}

const handle_record* world::handle(HANDLE h) const
{
    auto found = handles.find(h);
    return found == handles.end() ? nullptr : &found->second;
}

bool world::close_handle(HANDLE h)
{
    if (h == INVALID_HANDLE_VALUE) {
        return true; // the current-process pseudo handle: closing it is a harmless no-op
    }
    auto found = handles.find(h);
    if (found == handles.end()) {
        fault("CloseHandle of an unknown handle " + label_of(h));
        return false;
    }
    if (found->second.closed) {
        fault("CloseHandle of " + found->second.label + ", already closed");
        return false;
    }
    if (found->second.kind == "service status") {
        fault("CloseHandle of the service status handle");
        return false;
    }
    found->second.closed = true;
    if (jobs.count(h) != 0) {
        close_job(h);
    }
    return true;
}

void world::close_job(HANDLE job)
{
    job_object& object = jobs[job];
    if ((object.limit_flags & JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE) == 0) {
        return;
    }
    for (DWORD pid : object.members) {
        if (processes[pid].running()) {
            end_process(pid, 0, end_reason::job_closed);
        }
    }
}

std::vector<std::string> world::live() const
{
    std::vector<std::string> open;
    for (const auto& [h, record] : handles) {
        if (!record.closed) {
            open.push_back(record.kind + " (" + record.created_by + ")");
        }
    }
    for (const auto& [memory, size] : heap_blocks) {
        open.push_back(attribute_lists.count(memory) != 0 ? "attribute list (HeapAlloc)" : "heap block (HeapAlloc)");
    }
    std::sort(open.begin(), open.end());
    return open;
}

std::vector<std::string> world::run_long()
{
    std::vector<std::string> kept = {"attribute list (HeapAlloc)", "event (CreateEventA)", "event (CreateEventA)",
                                     "file (CreateFileW)", "service status (RegisterServiceCtrlHandlerExA)"};
    std::sort(kept.begin(), kept.end());
    return kept;
}

void world::append_to_file(const wide_string& path, const std::string& line, std::uint64_t more_bytes)
{
    if (path == WIDE("NUL")) {
        return;
    }
    files.insert(path);
    file_content& content = file_contents[path];
    content.lines += line;
    content.size_bytes += line.size() + more_bytes;
}

bool world::file_held_open(const wide_string& path) const
{
    for (const auto& [h, opened_as] : file_paths) {
        if (opened_as == path && path != WIDE("NUL") && !handles.at(h).closed) {
            return true;
        }
    }
    return false;
}

std::uint64_t world::calls(const std::string& operation) const
{
    auto found = call_counts.find(operation);
    return found == call_counts.end() ? 0 : found->second;
}

std::vector<const process_record*> world::companions() const
{
    std::vector<const process_record*> found;
    for (const auto& [pid, record] : processes) {
        if (!record.is_helper && !record.is_grandchild && record.parent_pid == service_pid) {
            found.push_back(&record);
        }
    }
    return found;
}

std::vector<const process_record*> world::helpers() const
{
    std::vector<const process_record*> found;
    for (const auto& [pid, record] : processes) {
        if (record.is_helper) {
            found.push_back(&record);
        }
    }
    return found;
}

const process_record* world::process(DWORD pid) const
{
    auto found = processes.find(pid);
    return found == processes.end() ? nullptr : &found->second;
}

std::vector<std::string> world::console_queries_at() const
{
    return console_queries;
}

DWORD world::token_session(HANDLE token) const
{
    auto found = tokens.find(token);
    return found == tokens.end() ? 0xFFFFFFFF : found->second.session;
}

bool world::event_signalled(HANDLE event) const
{
    auto found = events.find(event);
    return found != events.end() && found->second.signalled;
}

std::map<DWORD_PTR, void*> world::attribute_entries(LPPROC_THREAD_ATTRIBUTE_LIST list) const
{
    auto found = attribute_lists.find(list);
    return found == attribute_lists.end() ? std::map<DWORD_PTR, void*>{} : found->second.entries;
}

void world::end_process(DWORD pid, DWORD exit_code, end_reason reason)
{
    process_record& record = processes[pid];
    if (!record.running()) {
        return;
    }
    record.ended = reason;
    record.exit_code = exit_code;
    record.ended_at = now_;
}

DWORD world::new_process(process_record record)
{
    record.pid = next_pid_;
    next_pid_ += 4;
    record.started_at = now_;
    const DWORD pid = record.pid;
    const program_behaviour behaviour = record.behaviour;
    const std::string job_label = record.job_label;
    processes[pid] = record;
    if (behaviour.ends_after_ms) {
        schedule_at(now_ + *behaviour.ends_after_ms,
                    [this, pid, behaviour] { end_process(pid, behaviour.own_exit_code, end_reason::by_itself); });
    }
    if (behaviour.starts_grandchild) {
        process_record child;
        child.parent_pid = pid;
        child.application = WIDE("C:\\Orvane\\grandchild.exe");
        child.session = record.session;
        child.job_label = job_label;
        child.console = record.console;
        child.is_grandchild = true;
        const DWORD child_pid = new_process(child);
        for (auto& [job, object] : jobs) {
            if (handles[job].label == job_label) {
                object.members.push_back(child_pid);
            }
        }
    }
    return pid;
}

void world::raise_ctrl_c(int console)
{
    for (auto& [pid, record] : processes) {
        if (record.console != console || !record.running()) {
            continue;
        }
        record.ctrl_c_at = now_;
        if (record.ignores_ctrl_c || record.behaviour.ignores_ctrl_c) {
            continue;
        }
        const DWORD target = pid;
        const DWORD code = record.behaviour.ctrl_c_exit_code;
        if (record.behaviour.ctrl_c_delay_ms == 0) {
            end_process(target, code, end_reason::ctrl_c);
        } else {
            schedule_at(now_ + record.behaviour.ctrl_c_delay_ms,
                        [this, target, code] { end_process(target, code, end_reason::ctrl_c); });
        }
    }
}

void world::deliver_control(DWORD control, DWORD event_type)
{
    const DWORD accepted = reports_.empty() ? 0 : reports_.back().status.dwControlsAccepted;
    const bool stopped = !reports_.empty() && reports_.back().status.dwCurrentState == SERVICE_STOPPED;
    DWORD needed = 0;
    if (control == SERVICE_CONTROL_STOP) {
        needed = SERVICE_ACCEPT_STOP;
    } else if (control == SERVICE_CONTROL_PRESHUTDOWN) {
        needed = SERVICE_ACCEPT_PRESHUTDOWN;
    } else if (control == SERVICE_CONTROL_SESSIONCHANGE) {
        needed = SERVICE_ACCEPT_SESSIONCHANGE;
    }
    // The manager refuses controls the service has not said it accepts, and all of them once it
    // has reported stopped.
    if (handler == nullptr || stopped || (needed != 0 && (accepted & needed) == 0)) {
        controls_.push_back({now_, control, event_type, false, 0});
        return;
    }
    DWORD result = 0;
    {
        context_switch on_dispatcher({service_pid, dispatcher_thread});
        log("handler(control=" + std::to_string(control) + " event=" + std::to_string(event_type) + ")");
        world_lock_released as_on_the_dispatcher_thread(lock);
        result = handler(control, event_type, nullptr, handler_context);
    }
    controls_.push_back({now_, control, event_type, true, result});
}

bool world::signalled(HANDLE h) const
{
    if (auto e = events.find(h); e != events.end()) {
        return e->second.signalled;
    }
    if (auto p = process_handles.find(h); p != process_handles.end()) {
        return !processes.at(p->second).running();
    }
    return false;
}

void world::consume(HANDLE h)
{
    if (auto e = events.find(h); e != events.end() && !e->second.manual_reset) {
        e->second.signalled = false;
    }
}

DWORD world::wait_any(const std::vector<HANDLE>& waited, DWORD timeout_ms, const char* operation)
{
    for (HANDLE h : waited) {
        const handle_record* record = handle(h);
        if (record == nullptr || record->closed || (events.count(h) == 0 && process_handles.count(h) == 0)) {
            fault(std::string(operation) + " on a handle that cannot be waited on: " + label_of(h));
            set_error(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }
    const bool bounded = timeout_ms != INFINITE;
    const virtual_ms deadline = now_ + (bounded ? timeout_ms : 0);
    for (;;) {
        for (std::size_t index = 0; index < waited.size(); ++index) {
            if (signalled(waited[index])) {
                consume(waited[index]);
                return WAIT_OBJECT_0 + static_cast<DWORD>(index);
            }
        }
        if (schedule.empty() || (bounded && schedule.top().at > deadline)) {
            if (!bounded) {
                fault(std::string(operation) + " without a time limit on objects that will never be signalled");
                throw scenario_aborted{"a wait would block forever"};
            }
            now_ = deadline;
            return WAIT_TIMEOUT;
        }
        happening next = schedule.top();
        schedule.pop();
        now_ = std::max(now_, next.at);
        if (now_ > max_virtual_ms) {
            fault("virtual time budget spent");
            throw scenario_aborted{"virtual time budget spent"};
        }
        next.action();
    }
}

// ---------------------------------------------------------------- running

world::world()
{
    extern const platform_ops sim_platform_ops;
    previous_os_ = os;
    os = &sim_platform_ops;
    current = this;
    tls_context = {service_pid, dispatcher_thread};
    processes[service_pid].pid = service_pid;
    processes[service_pid].application = executable_path;
    helper_program = [](int argc, char** argv) { return run_entry(argc, argv); };
}

world::~world()
{
    for (const std::string& seen : faults_) {
        ADD_FAILURE() << "the simulated Windows saw: " << seen;
    }
    // The end of the simulated process releases what the service keeps for its whole run.
    for (auto& [memory, size] : heap_blocks) {
        std::free(memory);
    }
    os = previous_os_;
    current = nullptr;
}

int world::run_service(std::vector<std::string> arguments)
{
    std::vector<std::string> argv_text = {narrow(executable_path)};
    argv_text.insert(argv_text.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& text : argv_text) {
        argv.push_back(text.data());
    }
    argv.push_back(nullptr);
    processes[service_pid].application = executable_path;
    context_switch on_main({service_pid, dispatcher_thread});
    try {
        return run_entry(static_cast<int>(argv_text.size()), argv.data());
    } catch (const process_exited& exited) {
        return static_cast<int>(exited.exit_code);
    } catch (const scenario_aborted& aborted) {
        fault("scenario aborted: " + aborted.reason);
        return -1;
    }
}

DWORD world::run_as_detached_process(const std::function<DWORD()>& body)
{
    process_record record;
    record.parent_pid = 0;
    record.application = executable_path;
    record.is_helper = true;
    record.creation_flags = DETACHED_PROCESS;
    const DWORD pid = new_process(record);
    context_switch in_helper({pid, 1});
    const DWORD result = body();
    // A helper that did not ignore the Ctrl-C it raised has already been ended by it.
    end_process(pid, result, end_reason::by_itself);
    return processes[pid].exit_code;
}

DWORD world::start_console_process(program_behaviour behaviour, DWORD session)
{
    process_record record;
    record.parent_pid = 1;
    record.application = WIDE("C:\\Tools\\console.exe");
    record.session = session;
    record.console = new_console();
    record.behaviour = behaviour;
    return new_process(record);
}

HANDLE world::make_token(DWORD session)
{
    HANDLE token = add_handle("token", "make_token");
    tokens[token] = token_object{session, true};
    return token;
}

} // namespace sim
