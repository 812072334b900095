// The seam's shared parts: the table pointer and the bounded append used by both builds.
#include "platform/platform_ops.h"

#include <cerrno>

const platform_ops* os = nullptr;

errno_t bounded_wcscat(WCHAR* destination, rsize_t size, const WCHAR* source)
{
    if (destination == nullptr || size == 0) {
        return EINVAL;
    }
    if (source == nullptr) {
        destination[0] = 0;
        return EINVAL;
    }
    rsize_t length = 0;
    while (length < size && destination[length] != 0) {
        ++length;
    }
    if (length == size) {
        // The destination was never terminated within its own size.
        destination[0] = 0;
        return EINVAL;
    }
    rsize_t index = 0;
    while (source[index] != 0) {
        if (length + index + 1 >= size) {
            destination[0] = 0;
            return ERANGE;
        }
        destination[length + index] = source[index];
        ++index;
    }
    destination[length + index] = 0;
    return 0;
}

DWORD failure_code(DWORD error_code)
{
    return error_code != NO_ERROR ? error_code : ERROR_GEN_FAILURE;
}
