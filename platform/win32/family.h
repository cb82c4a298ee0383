// Which Windows family this is: the 95 family sets the top bit of GetVersion's value;
// every other system counts as the NT family.
#pragma once

#include <windows.h>

inline bool IsWin95Family() {
    return (GetVersion() & 0x80000000u) != 0;
}
