// libFuzzer target: the entry's argument handling against reference models, then run_entry on the simulated Windows.
#include "host/entry.h"
#include "host/service_state.h"
#include "sim/sim_windows.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::int64_t signed_32_min = -2147483648LL;
constexpr std::int64_t signed_32_max = 2147483647LL;
// Beyond this many significant digits every value is out of the 32-bit range.
constexpr std::size_t most_significant_digits = 10;

[[noreturn]] void property_broken(const char* what, const std::string& argument)
{
    std::fprintf(stderr, "property broken: %s (argument \"%s\")\n", what, argument.c_str());
    std::abort();
}

// atol in the "C" locale as entry.h states it, by another route than the implementation: take the
// text apart first, then read the exact value of the digits and clamp it once.
DWORD reference_process_id(const std::string& text)
{
    std::size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])) != 0) {
        ++at;
    }
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    const std::size_t digits_start = at;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) != 0) {
        ++at;
    }
    std::string digits = text.substr(digits_start, at - digits_start);
    digits.erase(0, digits.find_first_not_of('0'));

    std::int64_t value = 0;
    if (digits.size() > most_significant_digits) {
        value = negative ? signed_32_min : signed_32_max;
    } else {
        std::uint64_t magnitude = 0;
        std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
        value = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
        value = value < signed_32_min ? signed_32_min : value > signed_32_max ? signed_32_max : value;
    }
    return static_cast<DWORD>(static_cast<std::int32_t>(value));
}

// Bytes as UTF-16 code units, one each, so every backslash byte is a backslash.
wide_string widen_bytes(const std::string& text)
{
    wide_string wide;
    for (char c : text) {
        wide += static_cast<WCHAR>(static_cast<unsigned char>(c));
    }
    return wide;
}

// Cutting at the last backslash writes one terminator there and nothing else; the buffer is sized
// to the text exactly, so a write past the terminator is out of bounds for AddressSanitizer.
void check_path_cut(const std::string& argument)
{
    const wide_string path = widen_bytes(argument);
    const std::size_t length = path.size() + 1;
    const auto buffer = std::make_unique<WCHAR[]>(length);
    wide_string expected(path.c_str(), length);
    std::copy(expected.begin(), expected.end(), buffer.get());
    const std::size_t last_backslash = path.rfind(WIDE('\\'));
    if (last_backslash != wide_string::npos) {
        expected[last_backslash] = 0;
    }
    cut_at_last_backslash(buffer.get());
    if (wide_string(buffer.get(), length) != expected) {
        property_broken("cut_at_last_backslash changed more than the last backslash", argument);
    }
}

// The working directory the service mode must choose: the module path as a MAX_PATH buffer holds
// it, less the file name and the executable's own directory.
wide_string reference_service_directory(const wide_string& executable_path)
{
    wide_string directory = executable_path.substr(0, MAX_PATH - 1);
    for (int pass = 0; pass < 2; ++pass) {
        const std::size_t last_backslash = directory.rfind(WIDE('\\'));
        if (last_backslash == wide_string::npos) {
            break;
        }
        directory.resize(last_backslash);
    }
    return directory;
}

// The whole entry on the simulated Windows: argv[0] names the executable, a console program is
// there to be interrupted, and the manager did not start the process (the dispatcher fails at once).
void check_run_entry(const std::vector<std::string>& arguments, bool interrupt)
{
    sim::world run;
    the_service = {};
    run.executable_path = widen_bytes(arguments[0]);
    run.started_by_service_manager = false;
    const wide_string first_directory = run.cwd();
    const DWORD target = run.start_console_process(sim::runs_until_ctrl_c());

    const int status = run.run_service(std::vector<std::string>(arguments.begin() + 1, arguments.end()));

    const bool interrupted = run.process(target)->ended == sim::end_reason::ctrl_c;
    const std::string& shown = arguments.size() > 2 ? arguments[2] : arguments[0];
    if (interrupt) {
        const bool aimed_at_target = reference_process_id(arguments[2]) == target;
        if (interrupted != aimed_at_target || (status == 0) != aimed_at_target) {
            property_broken("the interrupt mode did not act on exactly the id it was given", shown);
        }
        if (run.calls("GetModuleFileNameW") != 0 || run.calls("StartServiceCtrlDispatcherA") != 0 ||
            run.cwd() != first_directory) {
            property_broken("the interrupt mode went on into the service mode", shown);
        }
    } else {
        if (interrupted || status != static_cast<int>(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) ||
            run.calls("StartServiceCtrlDispatcherA") != 1) {
            property_broken("the service mode did not hand over to the dispatcher alone", shown);
        }
        if (run.cwd() != reference_service_directory(run.executable_path)) {
            property_broken("the service mode chose the wrong working directory", arguments[0]);
        }
    }
    if (!run.live().empty()) {
        property_broken("the entry left a handle or heap block open", shown);
    }
    for (const std::string& fault : run.take_faults()) {
        property_broken(fault.c_str(), shown);
    }
}

} // namespace

// The input is the command line's arguments, each ended by a NUL byte (the last one need not be).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> arguments;
    if (size != 0) {
        arguments.emplace_back();
        for (std::size_t index = 0; index < size; ++index) {
            if (data[index] == 0) {
                arguments.emplace_back();
            } else {
                arguments.back() += static_cast<char>(data[index]);
            }
        }
    }

    // Each argument in an allocation of its own exact size, and argv ended by a null as the C
    // runtime ends it, so any read past either is out of bounds.
    std::vector<std::unique_ptr<char[]>> storage;
    std::vector<const char*> argv;
    for (const std::string& argument : arguments) {
        storage.push_back(std::make_unique<char[]>(argument.size() + 1));
        std::copy(argument.c_str(), argument.c_str() + argument.size() + 1, storage.back().get());
        argv.push_back(storage.back().get());
    }
    argv.push_back(nullptr);

    const int argc = static_cast<int>(arguments.size());
    const bool interrupt = argc == 3 && arguments[1] == "--terminate";
    if ((select_entry_mode(argc, argv.data()) == entry_mode::interrupt) != interrupt) {
        property_broken("select_entry_mode chose the other mode", argc > 1 ? arguments[1] : "");
    }
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        if (parse_process_id(argv[index]) != reference_process_id(arguments[index])) {
            property_broken("parse_process_id disagrees with atol clamped to 32 bits", arguments[index]);
        }
        check_path_cut(arguments[index]);
    }
    if (argc != 0) {
        check_run_entry(arguments, interrupt);
    }
    return 0;
}
