// The executable's entry on Windows: point the seam at the real system and hand over to run_entry.
#include "host/entry.h"

int main(int argc, char** argv)
{
    os = &windows_platform_ops;
    return run_entry(argc, argv);
}
