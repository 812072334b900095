// The installer's output: one line a step, UTF-16 to a console and UTF-8 elsewhere, and Windows error texts.
#pragma once

#include <windows.h>

#include <string>

// The exit code of a failure whose call left no error code: a failure must never exit 0.
constexpr DWORD fallback_error = ERROR_GEN_FAILURE;

// Prints "OrvaneSetup: " and the line.
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
