// The installer's output: one line a step, to the console (UTF-16, or UTF-8 to a file or pipe) or to the Windows
// Installer log through the sink the package's actions set, and Windows error texts.
#include "setup/setup_output.h"

#include <cwchar>

namespace {

void write_to_console(const std::wstring& line)
{
    const std::wstring text = line + L"\r\n";
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    DWORD written = 0;

    // Nothing can be told about a write that fails: the output is the only channel there is. A process
    // started without standard handles gets null here, which cppcheck 2.10's Windows library rules out.
    // cppcheck-suppress knownConditionTrueFalse
    if (output == INVALID_HANDLE_VALUE || output == nullptr) {
        return;
    }
    // A console takes UTF-16 as it is; a file or pipe gets UTF-8, which the code page would otherwise mangle.
    if (GetConsoleMode(output, &mode)) {
        WriteConsoleW(output, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    const std::string bytes = to_utf8(text);
    WriteFile(output, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

// One process-wide setting, changed only at the entry of a package action, before any line.
line_sink current_sink = write_to_console;

} // namespace

void write_console_line_without_allocating(const wchar_t* line) noexcept
{
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    DWORD written = 0;
    char bytes[512] = {};

    // cppcheck-suppress knownConditionTrueFalse
    if (output == INVALID_HANDLE_VALUE || output == nullptr) {
        return;
    }
    if (GetConsoleMode(output, &mode)) {
        WriteConsoleW(output, line, static_cast<DWORD>(std::wcslen(line)), &written, nullptr);
        WriteConsoleW(output, L"\r\n", 2, &written, nullptr);
        return;
    }
    // UTF-8, as every other line to a file or pipe; the fixed lines fit the buffer with room to spare.
    const int size = WideCharToMultiByte(CP_UTF8, 0, line, -1, bytes, sizeof bytes - 2, nullptr, nullptr);
    if (size > 0) {
        bytes[size - 1] = '\r';
        bytes[size] = '\n';
        WriteFile(output, bytes, static_cast<DWORD>(size) + 1, &written, nullptr);
    }
}

void set_line_sink(line_sink sink)
{
    current_sink = sink != nullptr ? sink : write_to_console;
}

void say(const std::wstring& line)
{
    current_sink(L"OrvaneSetup: " + line);
}

DWORD report_failure(const std::wstring& what, DWORD error)
{
    const DWORD code = error != ERROR_SUCCESS ? error : fallback_error;
    say(what + L": error " + std::to_wstring(code) + L": " + error_text(code));
    return code;
}

DWORD report_last_error(const wchar_t* what)
{
    const DWORD error = GetLastError();
    return report_failure(what, error);
}

std::wstring error_text(DWORD error)
{
    LPWSTR text = nullptr;
    std::wstring result = L"(no text for this code)";

    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, error, 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    if (length != 0 && text != nullptr) {
        result.assign(text, length);
        while (!result.empty() && (result.back() == L'\r' || result.back() == L'\n')) {
            result.pop_back();
        }
    }
    if (text != nullptr) {
        LocalFree(text);
        text = nullptr;
    }
    return result;
}

std::string to_utf8(const std::wstring& text)
{
    if (text.empty()) {
        return {};
    }
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (size == 0) {
        return {};
    }
    std::string bytes(static_cast<size_t>(size), '\0');
    if (WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr,
                            nullptr) == 0) {
        return {};
    }
    return bytes;
}

std::wstring from_utf8(const std::string& text)
{
    if (text.empty()) {
        return {};
    }
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (size == 0) {
        return {};
    }
    std::wstring wide(static_cast<size_t>(size), L'\0');
    if (MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size) == 0) {
        return {};
    }
    return wide;
}

std::wstring hex(DWORD value)
{
    const wchar_t* const digits = L"0123456789abcdef";
    std::wstring text;
    do {
        text.insert(text.begin(), digits[value & 0xFU]);
        value >>= 4U;
    } while (value != 0);
    return L"0x" + text;
}

std::wstring quoted(const std::wstring& text)
{
    return L"\"" + text + L"\"";
}
