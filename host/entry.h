// The process entry: interrupt mode for "--terminate <id>", service mode for everything else.
#pragma once

#include "platform/platform_ops.h"

enum class entry_mode { service, interrupt };

// Interrupt mode exactly when there are three arguments and the second is byte-wise "--terminate".
entry_mode select_entry_mode(int argc, const char* const* argv);

// The process id as the C runtime's atol reads it, clamped to the 32-bit signed range as the
// Windows runtime does, then taken as unsigned (so "-1" is 0xFFFFFFFF).
DWORD parse_process_id(const char* text);

// Writes a terminator over the last backslash; leaves a path without one unchanged.
void cut_at_last_backslash(WCHAR* path);

int run_entry(int argc, char** argv);
