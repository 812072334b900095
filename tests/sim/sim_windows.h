// A simulated Windows for scenario tests: handle table, processes, sessions, virtual clock, faults.
#pragma once

#include "platform/platform_ops.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <queue>
#include <set>
#include <string>
#include <vector>

namespace sim {

using virtual_ms = std::uint64_t;

constexpr DWORD service_pid = 100;
constexpr DWORD still_active = 259;

// How a launched program behaves once it runs.
struct program_behaviour {
    std::optional<virtual_ms> ends_after_ms; // ends by itself this long after its start
    DWORD own_exit_code = 0;
    bool ignores_ctrl_c = false;
    virtual_ms ctrl_c_delay_ms = 0;                 // how long it takes to end after Ctrl-C
    DWORD ctrl_c_exit_code = STATUS_CONTROL_C_EXIT; // its exit code when Ctrl-C ends it
    bool starts_grandchild = false;                 // starts a child inside its own job
    // Besides its one line ("companion <n>", the nth launched), how many bytes it writes to its output.
    std::uint64_t output_bytes = 0;
};

program_behaviour runs_until_ctrl_c();
program_behaviour exits_after(virtual_ms delay_ms, DWORD exit_code);
program_behaviour ignores_ctrl_c();
program_behaviour ends_on_ctrl_c_after(virtual_ms delay_ms, DWORD exit_code);

enum class end_reason { running, by_itself, ctrl_c, terminated, job_closed };

struct process_record {
    DWORD pid = 0;
    DWORD parent_pid = 0;
    wide_string application;  // as resolved against the current directory
    wide_string command_line; // empty when none was passed
    std::vector<std::string> argv;
    DWORD session = 0;
    std::string token_label;
    DWORD creation_flags = 0;
    BOOL inherit_handles = FALSE;
    std::vector<std::string> inherited; // labels of the handles it inherited
    wide_string desktop;
    DWORD startup_size = 0;
    DWORD startup_flags = 0;
    HANDLE std_input = nullptr;
    HANDLE std_output = nullptr;
    HANDLE std_error = nullptr;
    std::string job_label; // empty when outside any job
    int console = 0;       // 0: no console
    bool is_helper = false;
    bool is_grandchild = false;
    bool ignores_ctrl_c = false;
    program_behaviour behaviour;
    virtual_ms started_at = 0;
    std::optional<virtual_ms> ctrl_c_at;
    std::optional<virtual_ms> ended_at;
    DWORD exit_code = still_active;
    end_reason ended = end_reason::running;
    bool running() const { return ended == end_reason::running; }
};

struct status_report {
    virtual_ms at;
    SERVICE_STATUS status;
};

struct control_record {
    virtual_ms at;
    DWORD control;
    DWORD event_type;
    bool delivered;
    DWORD result;
};

// One platform call as the world counted it: when, and which operation.
struct call_record {
    virtual_ms at;
    const std::string* operation; // the name's key in world::call_counts, stable for the world's life
};

struct handle_record {
    std::string kind;
    std::string label;
    std::string created_by;
    bool closed = false;
    bool inheritable = false;
};

// A scripted happening at a virtual time.
struct happening {
    virtual_ms at;
    std::uint64_t order;
    std::function<void()> action;
};

struct happening_later {
    bool operator()(const happening& a, const happening& b) const
    {
        return a.at != b.at ? a.at > b.at : a.order > b.order;
    }
};

// Thrown out of a platform call when a scenario cannot go on (a wait that would never end, a
// budget spent); the scenario's runner catches it and records why.
struct scenario_aborted {
    std::string reason;
};

// Thrown by ExitProcess: the process ends without returning to its caller.
struct process_exited {
    UINT exit_code;
};

class world;

// Schedules what happens at one virtual time; returned by world::at.
class moment {
  public:
    moment(world& w, virtual_ms at) : world_(w), at_(at) {}
    moment& stop();
    moment& preshutdown();
    moment& interrogate();
    moment& control(DWORD control, DWORD event_type = 0);
    moment& console_connect(DWORD session); // the console moves to the session; connect notice
    moment& console_disconnect();           // no session owns the console; disconnect notice
    moment& console_session(DWORD session); // the console moves without any notice
    moment& add_file(const wide_string& path);
    moment& run(std::function<void()> action); // anything else

  private:
    world& world_;
    virtual_ms at_;
};

class world {
  public:
    world();
    ~world();
    world(const world&) = delete;
    world& operator=(const world&) = delete;

    // --- The machine before the service starts.
    wide_string executable_path = WIDE("C:\\Orvane\\svc\\OrvaneService.exe");
    wide_string temp_path = WIDE("C:\\Windows\\Temp\\");
    // What GetTempPath2W answers where kernel32 has it (newer Windows); by default the system lacks it.
    std::optional<wide_string> private_temp_path;
    wide_string current_directory = WIDE("C:\\Windows\\system32");
    bool started_by_service_manager = true;
    // How long a status report takes to reach the manager; real threads racing on reports need it
    // to be more than nothing for an unguarded overlap to show.
    std::chrono::microseconds status_report_latency{0};
    virtual_ms helper_run_ms = 30;                  // how long an interrupt helper takes to run
    bool helper_hangs = false;                      // the helper never ends by itself
    std::function<int(int, char**)> helper_program; // what the helper runs; the real entry by default
    std::set<wide_string> files = {WIDE("C:\\Orvane\\Orvane.exe"), WIDE("C:\\Orvane\\svc\\OrvaneService.exe")};
    // What a file holds: the lines written to it, and its size, which also counts the bytes the lines
    // leave out (a companion may write megabytes; only their number matters).
    struct file_content {
        std::string lines;
        std::uint64_t size_bytes = 0;
    };
    std::map<wide_string, file_content> file_contents;
    void append_to_file(const wide_string& path, const std::string& line, std::uint64_t more_bytes = 0);

    void console_session(DWORD session) { console_session_ = session; }
    // Behaviours of the next companions, in launch order; afterwards runs_until_ctrl_c.
    void next_companions(std::vector<program_behaviour> behaviours);
    moment at(virtual_ms time) { return moment(*this, time); }

    // Fault injection: the nth call (1-based; 0 = every call) of `operation` fails with `error`.
    void fail(const std::string& operation, unsigned nth, DWORD error);
    // The nth platform call overall fails with `error`, whatever it is (when it can fail).
    void fail_call_number(std::uint64_t nth, DWORD error);

    // Budgets that turn a runaway scenario into a recorded fault instead of a hung test.
    std::uint64_t max_calls = 200000;
    virtual_ms max_virtual_ms = 7ull * 24 * 3600 * 1000;

    // --- Running.
    // Starts the service process as the service manager would and runs it to its end.
    // Returns the process exit status (run_entry's result or ExitProcess's code).
    int run_service(std::vector<std::string> arguments = {});
    // Runs `body` inside a new detached process (no console), as the interrupt mode would run.
    DWORD run_as_detached_process(const std::function<DWORD()>& body);
    // A running console program outside any job (for the interrupt mode), returns its id.
    DWORD start_console_process(program_behaviour behaviour, DWORD session = 1);
    // A primary token bound to `session`, as a test's stand-in for the token routine.
    HANDLE make_token(DWORD session);

    // --- What happened.
    virtual_ms now() const { return now_; }
    const std::vector<status_report>& reports() const { return reports_; }
    const std::vector<control_record>& controls() const { return controls_; }
    std::vector<const process_record*> companions() const; // launched processes that are not helpers
    std::vector<const process_record*> helpers() const;
    const process_record* process(DWORD pid) const;
    const std::vector<std::string>& call_log() const { return call_log_; }
    std::uint64_t calls() const { return total_calls_; }
    // Every counted call in order: the nth entry is the call fail_call_number(n, ...) would fail.
    const std::vector<call_record>& call_records() const { return call_records_; }
    std::uint64_t calls(const std::string& operation) const;
    const std::vector<std::string>& faults() const { return faults_; }
    // Hands over the faults seen so far, for a test that provokes them on purpose. Any fault still
    // recorded when the world ends fails the test that made it.
    std::vector<std::string> take_faults();
    std::optional<UINT> exited_with() const { return exit_process_code_; }
    const wide_string& cwd() const { return current_directory; }
    DWORD last_error_of_this_thread() const;
    std::vector<std::string> console_queries_at() const;

    // Every handle and heap block still open, as "kind (created by)" sorted.
    std::vector<std::string> live() const;
    // The ones a service run keeps for its whole life.
    static std::vector<std::string> run_long();
    std::string label_of(HANDLE handle) const;
    const handle_record* handle(HANDLE handle) const;
    DWORD token_session(HANDLE token) const;
    bool event_signalled(HANDLE event) const;
    // Entries set on an attribute list: attribute -> slot address.
    std::map<DWORD_PTR, void*> attribute_entries(LPPROC_THREAD_ATTRIBUTE_LIST list) const;

    // ---- Used by the platform table (sim_windows.cpp); not for scenarios.
    struct event_object {
        bool manual_reset;
        bool signalled;
    };
    struct job_object {
        DWORD limit_flags = 0;
        std::vector<DWORD> members;
    };
    struct token_object {
        DWORD session;
        bool primary;
    };
    struct attribute_list {
        DWORD count;
        SIZE_T size;
        std::map<DWORD_PTR, void*> entries;
    };
    struct context {
        DWORD pid;
        int thread;
    };
    struct fault_rule {
        std::string operation;
        unsigned nth;
        DWORD error;
    };

    static world* current;
    std::recursive_mutex lock;
    std::map<HANDLE, handle_record> handles;
    std::map<HANDLE, event_object> events;
    std::map<HANDLE, job_object> jobs;
    std::map<HANDLE, token_object> tokens;
    std::map<HANDLE, DWORD> process_handles; // process or thread handle -> pid
    std::map<void*, attribute_list> attribute_lists;
    std::map<HANDLE, wide_string> file_paths; // file handle -> the path it was opened by
    // A file that another handle holds open: every open here shares reading only, so it can be neither
    // opened for writing nor renamed. The null device is never held.
    bool file_held_open(const wide_string& path) const;
    std::map<void*, SIZE_T> heap_blocks;
    std::map<DWORD, process_record> processes;
    std::map<std::pair<DWORD, int>, DWORD> last_errors;
    std::vector<program_behaviour> queued_companions;
    std::priority_queue<happening, std::vector<happening>, happening_later> schedule;
    std::vector<fault_rule> fault_rules;
    std::map<std::string, std::uint64_t> call_counts;
    std::uint64_t fail_call_number_ = 0;
    DWORD fail_call_number_error_ = 0;
    LPHANDLER_FUNCTION_EX handler = nullptr;
    LPVOID handler_context = nullptr;
    HANDLE status_handle = nullptr;
    std::vector<std::string> console_queries;

    // Counts the call, logs it, and says whether an injected fault makes it fail (and with what).
    std::optional<DWORD> enter(const std::string& operation, bool can_fail = true);
    void log(const std::string& line);
    void set_error(DWORD error);
    HANDLE add_handle(const std::string& kind, const std::string& created_by, bool inheritable = false);
    bool close_handle(HANDLE h);
    void fault(const std::string& what);
    DWORD wait_any(const std::vector<HANDLE>& waited, DWORD timeout_ms, const char* operation);
    void schedule_at(virtual_ms at, std::function<void()> action);
    void deliver_control(DWORD control, DWORD event_type);
    void end_process(DWORD pid, DWORD exit_code, end_reason reason);
    DWORD new_process(process_record record);
    void raise_ctrl_c(int console);
    void close_job(HANDLE job);
    int new_console() { return ++consoles_; }
    bool signalled(HANDLE h) const;
    void consume(HANDLE h);
    context& here();

    DWORD console_session_ = 0xFFFFFFFF;
    virtual_ms now_ = 0;
    std::vector<status_report> reports_;
    std::vector<control_record> controls_;
    std::vector<std::string> call_log_;
    std::vector<call_record> call_records_;
    std::vector<std::string> faults_;
    std::optional<UINT> exit_process_code_;
    std::uint64_t total_calls_ = 0;
    std::uint64_t next_handle_ = 0x1000;
    std::uint64_t next_order_ = 0;
    DWORD next_pid_ = 1000;
    int consoles_ = 0;
    std::map<std::string, unsigned> kind_counts_;
    const platform_ops* previous_os_ = nullptr;
};

// Holds the world lock for one platform call, counting how deep this real thread holds it, so that a
// control's delivery can let go of it entirely while the handler runs.
class world_guard {
  public:
    explicit world_guard(std::recursive_mutex& lock);
    ~world_guard();
    world_guard(const world_guard&) = delete;
    world_guard& operator=(const world_guard&) = delete;

  private:
    std::recursive_mutex& lock_;
};

// Runs the calling code as another virtual thread or process until the end of its scope, as the
// handler runs on the dispatcher thread and a helper runs in a process of its own.
class context_switch {
  public:
    explicit context_switch(world::context next);
    ~context_switch();
    context_switch(const context_switch&) = delete;
    context_switch& operator=(const context_switch&) = delete;

  private:
    world::context saved_;
};

// Virtual threads: the service process's main (dispatcher) thread and the service routine's thread.
constexpr int dispatcher_thread = 1;
constexpr int service_thread = 2;

std::string narrow(const wide_string& text);
std::vector<std::string> split_command_line(const wide_string& line);
wide_string widen(const std::string& text);

} // namespace sim
