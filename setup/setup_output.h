// The installer's output: one line a step, to the console (UTF-16, or UTF-8 to a file or pipe) or to the Windows
// Installer log through the sink the package's actions set, and Windows error texts.
#pragma once

#include <windows.h>

#include <string>

// The exit code of a failure whose call left no error code: a failure must never exit 0.
constexpr DWORD fallback_error = ERROR_GEN_FAILURE;

// The last line of an entry point that met an exception (std::bad_alloc from a string, most likely), and the
// exit codes they name: fixed texts, since telling them may not allocate, and so the system's English texts of
// those codes, without a bracket (a package action's line is formatted before it is logged).
inline const wchar_t* const out_of_memory_line =
    L"OrvaneSetup: out of memory; stopped before the step was done: error 8: Not enough memory resources are "
    L"available to process this command.";
inline const wchar_t* const exception_line =
    L"OrvaneSetup: an unexpected exception; stopped before the step was done: error 1359: An internal error "
    L"occurred.";
constexpr DWORD out_of_memory_exit_code = ERROR_NOT_ENOUGH_MEMORY;
constexpr DWORD exception_exit_code = ERROR_INTERNAL_ERROR;

// Writes a fixed line to the console without allocating: the last word of the program's entry.
void write_console_line_without_allocating(const wchar_t* line) noexcept;

// Where say() sends a whole line, "OrvaneSetup: " included, without a line break.
using line_sink = void (*)(const std::wstring& text);

// Sends every later line to `sink`; null restores the console, where the lines go by default.
void set_line_sink(line_sink sink);

// Sends "OrvaneSetup: " and the line to the sink.
void say(const std::wstring& line);

// Prints "OrvaneSetup: <what>: error <code>: <text>" and returns the code to exit with (never 0).
DWORD report_failure(const std::wstring& what, DWORD error);

// report_failure with GetLastError, read before anything (an allocation for the text) can change it.
DWORD report_last_error(const wchar_t* what);

// The system's text for an error code, without its trailing line break.
std::wstring error_text(DWORD error);

std::string to_utf8(const std::wstring& text);
std::wstring from_utf8(const std::string& text);
std::wstring hex(DWORD value);
std::wstring quoted(const std::wstring& text);
