// The POSIX platform under the names of tests/faults/real_platform_names.h.
#include "tests/faults/real_platform_names.h"

#include "platform/posix/platform_posix.cpp"
