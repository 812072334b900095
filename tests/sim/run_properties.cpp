// The properties every whole service run must keep whatever failed: handles, companions, reports, blocking.
#include "sim/run_properties.h"

#include "host/service_state.h"

#include <algorithm>
#include <map>
#include <set>

namespace sim {
namespace {

bool contains(const std::string& line, const char* text)
{
    return line.find(text) != std::string::npos;
}

// Labels of the handles whose CloseHandle was made to fail. The simulated Windows keeps such a handle
// open, as a real one may; nothing a caller can do closes it, so it is the fault's own consequence.
std::set<std::string> labels_of_failed_closes(const world& run)
{
    std::set<std::string> labels;
    const std::vector<std::string>& log = run.call_log();
    const std::string call = "] CloseHandle(";
    for (std::size_t index = 0; index + 1 < log.size(); ++index) {
        const auto at = log[index].find(call);
        if (at != std::string::npos && contains(log[index + 1], "] CloseHandle fails")) {
            const auto start = at + call.size();
            labels.insert(log[index].substr(start, log[index].rfind(')') - start));
        }
    }
    return labels;
}

// What is still open, as world::live() tells it, without the handles whose close was made to fail
// and without the heap blocks whose free was.
std::vector<std::string> open_beyond_failed_releases(const world& run, const std::set<std::string>& failed_closes)
{
    std::vector<std::string> open;
    for (const auto& [handle, record] : run.handles) {
        if (!record.closed && failed_closes.count(record.label) == 0) {
            open.push_back(record.kind + " (" + record.created_by + ")");
        }
    }
    auto failed_frees = std::count_if(run.call_log().begin(), run.call_log().end(),
                                      [](const std::string& line) { return contains(line, "] HeapFree fails"); });
    for (const auto& [memory, size] : run.heap_blocks) {
        const bool is_list = run.attribute_lists.count(memory) != 0;
        if (!is_list && failed_frees > 0) {
            --failed_frees;
            continue;
        }
        open.push_back(is_list ? "attribute list (HeapAlloc)" : "heap block (HeapAlloc)");
    }
    std::sort(open.begin(), open.end());
    return open;
}

std::string listed(const std::vector<std::string>& items)
{
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : ", ") + item;
    }
    return "{" + text + "}";
}

bool job_kills_on_close(const world& run, const std::string& job_label)
{
    for (const auto& [handle, object] : run.jobs) {
        if (run.handles.at(handle).label == job_label) {
            return (object.limit_flags & JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE) != 0;
        }
    }
    return false;
}

void check_handles(const world& run, bool passed_start_up, const std::set<std::string>& failed_closes,
                   std::vector<std::string>* broken)
{
    const std::vector<std::string> open = open_beyond_failed_releases(run, failed_closes);
    const std::vector<std::string> kept = world::run_long();
    // After start-up the service holds exactly what it keeps for its whole life. A start-up that
    // failed leaves whatever of those it had made to the end of the process, and nothing else.
    if (passed_start_up ? open != kept : !std::includes(kept.begin(), kept.end(), open.begin(), open.end())) {
        broken->push_back("left open " + listed(open) + ", expected " + (passed_start_up ? "" : "part of ") +
                          listed(kept));
    }
}

void check_companions(const world& run, virtual_ms stopped_at, const std::set<std::string>& failed_closes,
                      std::vector<std::string>* broken)
{
    const process_record* previous = nullptr;
    for (const process_record* companion : run.companions()) {
        const std::string name = "companion pid " + std::to_string(companion->pid);
        if (companion->job_label.empty() || !job_kills_on_close(run, companion->job_label)) {
            broken->push_back(name + " started outside a kill-on-close job");
        }
        // A companion the service could neither terminate nor end through its job (whose close was
        // made to fail) may outlive its cycle; no other may.
        if (previous != nullptr && failed_closes.count(previous->job_label) == 0 &&
            (!previous->ended_at || *previous->ended_at > companion->started_at)) {
            broken->push_back(name + " started at t=" + std::to_string(companion->started_at) +
                              " while companion pid " + std::to_string(previous->pid) + " still ran");
        }
        previous = companion;
    }
    for (const auto& [pid, process] : run.processes) {
        const process_record* parent = run.process(process.parent_pid);
        const bool launched = !process.is_helper && process.parent_pid == service_pid;
        const bool left_behind = process.is_grandchild && parent != nullptr && parent->parent_pid == service_pid;
        if ((launched || left_behind) && failed_closes.count(process.job_label) == 0 &&
            (!process.ended_at || *process.ended_at > stopped_at)) {
            broken->push_back("pid " + std::to_string(pid) + (process.is_grandchild ? " (grandchild)" : "") +
                              " still running after the service stopped at t=" + std::to_string(stopped_at));
        }
    }
}

// A companion whose exit code 1115 the service read asked for the service to stop: none may follow it.
// (When the read itself failed, the end counts as an ordinary one and a relaunch is right.)
void check_no_launch_after_a_stop_request(const world& run, std::vector<std::string>* broken)
{
    std::map<std::string, DWORD> pid_of_label;
    for (const auto& [handle, pid] : run.process_handles) {
        pid_of_label[run.handles.at(handle).label] = pid;
    }
    const std::string call = "] GetExitCodeProcess(";
    const std::string stop_request = ") -> " + std::to_string(ERROR_SHUTDOWN_IN_PROGRESS);
    for (const std::string& line : run.call_log()) {
        const auto at = line.find(call);
        if (at == std::string::npos || line.find(stop_request) == std::string::npos) {
            continue;
        }
        const auto start = at + call.size();
        const process_record* ended = run.process(pid_of_label[line.substr(start, line.find(')', start) - start)]);
        if (ended == nullptr || ended->is_helper || !ended->ended_at) {
            continue;
        }
        for (const process_record* companion : run.companions()) {
            if (companion->started_at >= *ended->ended_at && companion->pid > ended->pid) {
                broken->push_back("companion pid " + std::to_string(companion->pid) + " launched after pid " +
                                  std::to_string(ended->pid) + " asked for a stop with exit code 1115");
            }
        }
    }
}

// Once the handler has passed a stop on (it answered the control with 0), the loop may launch nothing.
// The call log orders the handler's calls and the launches even within one virtual millisecond.
void check_no_launch_after_a_stop(const world& run, std::vector<std::string>* broken)
{
    std::vector<const control_record*> delivered;
    for (const control_record& control : run.controls()) {
        if (control.delivered) {
            delivered.push_back(&control);
        }
    }
    std::size_t next_control = 0;
    const control_record* passed_on = nullptr;
    for (const std::string& line : run.call_log()) {
        if (contains(line, "] handler(control=") && next_control < delivered.size()) {
            const control_record* control = delivered[next_control++];
            const bool stop =
                control->control == SERVICE_CONTROL_STOP || control->control == SERVICE_CONTROL_PRESHUTDOWN;
            if (passed_on == nullptr && stop && control->result == NO_ERROR) {
                passed_on = control;
            }
        } else if (passed_on != nullptr && contains(line, "] CreateProcessAsUserW(") && contains(line, "-> pid") &&
                   !contains(line, "--terminate")) {
            broken->push_back("a companion launched after the stop control of t=" + std::to_string(passed_on->at) +
                              ": " + line);
        }
    }
}

// The last status report the service attempted failed by injection.
bool last_report_failed(const world& run)
{
    const std::vector<std::string>& log = run.call_log();
    for (auto line = log.rbegin(); line != log.rend(); ++line) {
        if (contains(*line, "] SetServiceStatus")) {
            return contains(*line, "] SetServiceStatus fails");
        }
    }
    return false;
}

void check_reports(const world& run, bool passed_start_up, const run_expectations& expected,
                   std::vector<std::string>* broken)
{
    const std::vector<status_report>& reports = run.reports();
    if (run.calls("RegisterServiceCtrlHandlerExA") == 0 || run.exited_with()) {
        // The dispatcher never ran the service routine, or it could not register: no report can exist,
        // and a failed registration ends the process with a code that must not read as success.
        if (!reports.empty()) {
            broken->push_back("reports without a registered handler");
        }
        if (run.exited_with() == std::optional<UINT>(0)) {
            broken->push_back("the failed registration ended the process with exit code 0");
        }
        return;
    }
    const auto stopped_reports = std::count_if(reports.begin(), reports.end(), [](const status_report& report) {
        return report.status.dwCurrentState == SERVICE_STOPPED;
    });
    DWORD exit_code = 0;
    if (stopped_reports == 1 && reports.back().status.dwCurrentState == SERVICE_STOPPED) {
        exit_code = reports.back().status.dwWin32ExitCode;
    } else if (stopped_reports == 0 && the_service.status.dwCurrentState == SERVICE_STOPPED &&
               last_report_failed(run)) {
        // The stopped report itself was the one made to fail: it was still the last one made.
        exit_code = the_service.status.dwWin32ExitCode;
    } else {
        broken->push_back("stopped reported " + std::to_string(stopped_reports) + " times, last state " +
                          (reports.empty() ? "none" : std::to_string(reports.back().status.dwCurrentState)));
        return;
    }
    if (!passed_start_up && exit_code == NO_ERROR) {
        broken->push_back("a start-up failure reported with exit code 0");
    }
    if (passed_start_up && expected.single_fault && exit_code != NO_ERROR) {
        broken->push_back("one fault ended a running service with exit code " + std::to_string(exit_code));
    }
}

} // namespace

std::size_t busiest_window_calls(const world& run)
{
    const std::vector<call_record>& calls = run.call_records();
    std::size_t busiest = 0;
    std::size_t first = 0;
    for (std::size_t last = 0; last < calls.size(); ++last) {
        while (calls[last].at - calls[first].at >= busy_window_ms) {
            ++first;
        }
        busiest = std::max(busiest, last - first + 1);
    }
    return busiest;
}

std::vector<std::string> broken_run_properties(world& run, const run_expectations& expected)
{
    std::vector<std::string> broken;
    for (const std::string& fault : run.take_faults()) {
        broken.push_back("the simulated Windows saw: " + fault);
    }
    // The routine polls as soon as its start-up is done; a start-up that failed never waits.
    const bool passed_start_up = run.calls("WaitForSingleObject") != 0;
    const std::set<std::string> failed_closes = labels_of_failed_closes(run);
    const bool stopped = !run.reports().empty() && run.reports().back().status.dwCurrentState == SERVICE_STOPPED;

    check_handles(run, passed_start_up, failed_closes, &broken);
    check_companions(run, stopped ? run.reports().back().at : run.now(), failed_closes, &broken);
    check_no_launch_after_a_stop_request(run, &broken);
    check_no_launch_after_a_stop(run, &broken);
    check_reports(run, passed_start_up, expected, &broken);
    if (const std::size_t busiest = busiest_window_calls(run); busiest > busy_window_calls_limit) {
        broken.push_back(std::to_string(busiest) + " platform calls within " + std::to_string(busy_window_ms) +
                         " ms: the loop does not block");
    }
    return broken;
}

std::string call_log_tail(const world& run, std::size_t count)
{
    const std::vector<std::string>& log = run.call_log();
    std::string text;
    for (std::size_t index = log.size() > count ? log.size() - count : 0; index < log.size(); ++index) {
        text += log[index] + "\n";
    }
    return text;
}

} // namespace sim
