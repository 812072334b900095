// `OrvaneSetup.exe status`: the registration, the companions, the console session and one verdict.
#pragma once

#include <windows.h>

// Needs no elevation. Returns the verdict's exit code (0 only when healthy), or the error of a failed query.
DWORD report_service_status();
