// Windows types, records and constants the service uses; real <windows.h> on Windows, same layouts elsewhere.
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// Without it <windows.h> defines min and max as macros, which break std::min and std::max. MinGW's C++
// library defines it whenever one of its headers comes first; MSVC's never does.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// Wide literals: the platform takes UTF-16, which is wchar_t on Windows.
#define WIDE(text) L##text

#else

#include <cstddef>
#include <cstdint>

// Off Windows, wchar_t is 32 bits wide; char16_t keeps every wide string UTF-16 as the platform expects.
#define WIDE(text) u##text
#define WINAPI
#define CALLBACK

using BOOL = int;
using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = std::uint32_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using ULONG_PTR = std::uintptr_t;
using DWORD_PTR = std::uintptr_t;
using SIZE_T = std::size_t;
using PSIZE_T = SIZE_T*;
using WCHAR = char16_t;
using CHAR = char;
using LPSTR = CHAR*;
using LPCSTR = const CHAR*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPBYTE = BYTE*;
using LPDWORD = DWORD*;
using LPVOID = void*;
using PVOID = void*;
using HANDLE = void*;
using PHANDLE = HANDLE*;
using HMODULE = void*;
using INT_PTR = std::intptr_t;
using FARPROC = INT_PTR(WINAPI*)();
using errno_t = int;
using rsize_t = std::size_t;

struct SERVICE_STATUS_HANDLE__;
using SERVICE_STATUS_HANDLE = SERVICE_STATUS_HANDLE__*;

union LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;

struct SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
};
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

struct STARTUPINFOW {
    DWORD cb;
    LPWSTR lpReserved;
    LPWSTR lpDesktop;
    LPWSTR lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
};
using LPSTARTUPINFOW = STARTUPINFOW*;

struct PROC_THREAD_ATTRIBUTE_LIST_;
using LPPROC_THREAD_ATTRIBUTE_LIST = PROC_THREAD_ATTRIBUTE_LIST_*;

struct STARTUPINFOEXW {
    STARTUPINFOW StartupInfo;
    LPPROC_THREAD_ATTRIBUTE_LIST lpAttributeList;
};

struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};
using LPPROCESS_INFORMATION = PROCESS_INFORMATION*;

struct JOBOBJECT_BASIC_LIMIT_INFORMATION {
    LARGE_INTEGER PerProcessUserTimeLimit;
    LARGE_INTEGER PerJobUserTimeLimit;
    DWORD LimitFlags;
    SIZE_T MinimumWorkingSetSize;
    SIZE_T MaximumWorkingSetSize;
    DWORD ActiveProcessLimit;
    ULONG_PTR Affinity;
    DWORD PriorityClass;
    DWORD SchedulingClass;
};

struct IO_COUNTERS {
    ULONGLONG ReadOperationCount;
    ULONGLONG WriteOperationCount;
    ULONGLONG OtherOperationCount;
    ULONGLONG ReadTransferCount;
    ULONGLONG WriteTransferCount;
    ULONGLONG OtherTransferCount;
};

struct JOBOBJECT_EXTENDED_LIMIT_INFORMATION {
    JOBOBJECT_BASIC_LIMIT_INFORMATION BasicLimitInformation;
    IO_COUNTERS IoInfo;
    SIZE_T ProcessMemoryLimit;
    SIZE_T JobMemoryLimit;
    SIZE_T PeakProcessMemoryUsed;
    SIZE_T PeakJobMemoryUsed;
};

enum JOBOBJECTINFOCLASS { JobObjectExtendedLimitInformation = 9 };
enum TOKEN_INFORMATION_CLASS { TokenSessionId = 12 };
enum SECURITY_IMPERSONATION_LEVEL { SecurityImpersonation = 2 };
enum TOKEN_TYPE { TokenPrimary = 1 };

struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};
using LPSERVICE_STATUS = SERVICE_STATUS*;

using LPSERVICE_MAIN_FUNCTIONA = void(WINAPI*)(DWORD argc, LPSTR* argv);
using LPHANDLER_FUNCTION_EX = DWORD(WINAPI*)(DWORD control, DWORD event_type, LPVOID event_data, LPVOID context);
using PHANDLER_ROUTINE = BOOL(WINAPI*)(DWORD ctrl_type);

struct SERVICE_TABLE_ENTRYA {
    LPSTR lpServiceName;
    LPSERVICE_MAIN_FUNCTIONA lpServiceProc;
};

struct SRWLOCK {
    PVOID Ptr;
};
using PSRWLOCK = SRWLOCK*;
#define SRWLOCK_INIT                                                                                                   \
    {                                                                                                                  \
        nullptr                                                                                                        \
    }

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))

constexpr BOOL TRUE = 1;
constexpr BOOL FALSE = 0;
constexpr DWORD MAX_PATH = 260;
constexpr DWORD INFINITE = 0xFFFFFFFF;

constexpr DWORD WAIT_OBJECT_0 = 0x00000000;
constexpr DWORD WAIT_ABANDONED_0 = 0x00000080;
constexpr DWORD WAIT_TIMEOUT = 0x00000102;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD NO_ERROR = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_CALL_NOT_IMPLEMENTED = 120;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
constexpr DWORD ERROR_PROCESS_ABORTED = 1067;
constexpr DWORD ERROR_SHUTDOWN_IN_PROGRESS = 1115;
constexpr DWORD ERROR_FAILED_SERVICE_CONTROLLER_CONNECT = 1063;
constexpr DWORD ERROR_PRIVILEGE_NOT_HELD = 1314;

constexpr DWORD SERVICE_WIN32_OWN_PROCESS = 0x10;
constexpr DWORD SERVICE_STOPPED = 1;
constexpr DWORD SERVICE_START_PENDING = 2;
constexpr DWORD SERVICE_STOP_PENDING = 3;
constexpr DWORD SERVICE_RUNNING = 4;
constexpr DWORD SERVICE_ACCEPT_STOP = 0x1;
constexpr DWORD SERVICE_ACCEPT_SESSIONCHANGE = 0x80;
constexpr DWORD SERVICE_ACCEPT_PRESHUTDOWN = 0x100;
constexpr DWORD SERVICE_CONTROL_STOP = 1;
constexpr DWORD SERVICE_CONTROL_PAUSE = 2;
constexpr DWORD SERVICE_CONTROL_CONTINUE = 3;
constexpr DWORD SERVICE_CONTROL_INTERROGATE = 4;
constexpr DWORD SERVICE_CONTROL_SHUTDOWN = 5;
constexpr DWORD SERVICE_CONTROL_PARAMCHANGE = 6;
constexpr DWORD SERVICE_CONTROL_SESSIONCHANGE = 14;
constexpr DWORD SERVICE_CONTROL_PRESHUTDOWN = 15;
constexpr DWORD WTS_CONSOLE_CONNECT = 1;
constexpr DWORD WTS_CONSOLE_DISCONNECT = 2;
constexpr DWORD WTS_SESSION_LOGON = 5;
constexpr DWORD WTS_SESSION_LOCK = 7;

constexpr DWORD TOKEN_DUPLICATE = 0x0002;
constexpr DWORD TOKEN_ALL_ACCESS = 0xF01FF;

constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD FILE_APPEND_DATA = 0x4;
constexpr DWORD FILE_READ_ATTRIBUTES = 0x80;
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1;

constexpr DWORD STARTF_USESTDHANDLES = 0x100;
constexpr DWORD DETACHED_PROCESS = 0x8;
constexpr DWORD CREATE_UNICODE_ENVIRONMENT = 0x400;
constexpr DWORD EXTENDED_STARTUPINFO_PRESENT = 0x00080000;
constexpr DWORD CREATE_NO_WINDOW = 0x08000000;
constexpr DWORD_PTR PROC_THREAD_ATTRIBUTE_HANDLE_LIST = 0x20002;
constexpr DWORD_PTR PROC_THREAD_ATTRIBUTE_JOB_LIST = 0x2000D;

constexpr DWORD JOB_OBJECT_LIMIT_BREAKAWAY_OK = 0x800;
constexpr DWORD JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE = 0x2000;

constexpr DWORD CTRL_C_EVENT = 0;
constexpr DWORD STATUS_CONTROL_C_EXIT = 0xC000013A;

#endif

// Wide text as the logic holds it: UTF-16 code units in both builds.
#include <string>
using wide_string = std::basic_string<WCHAR>;

// The layouts the platform reads; a wrong size here would corrupt every launch.
static_assert(sizeof(STARTUPINFOW) == 104, "STARTUPINFOW layout");
static_assert(sizeof(STARTUPINFOEXW) == 112, "STARTUPINFOEXW layout");
static_assert(sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION) == 144, "job limit layout");
static_assert(sizeof(SECURITY_ATTRIBUTES) == 24, "SECURITY_ATTRIBUTES layout");
static_assert(sizeof(SERVICE_STATUS) == 28, "SERVICE_STATUS layout");
static_assert(sizeof(WCHAR) == 2, "wide text must be UTF-16");
static_assert(sizeof(DWORD) == 4, "DWORD is 32 bits");
static_assert(sizeof(HANDLE) == 8, "64-bit build");
