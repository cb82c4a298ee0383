// The POSIX restart list under the names of tests/faults/real_platform_names.h.
#include "tests/faults/real_platform_names.h"

#include "platform/posix/restart_list.cpp"
