// libntfs-3g's headers. They are C, use time_t and va_list without including what
// declares them, and are meant to be included after <time.h> and <stdarg.h>.
#pragma once

#include <stdarg.h>
#include <sys/stat.h>
#include <time.h>

extern "C" {
#include <ntfs-3g/types.h>

#include <ntfs-3g/attrib.h>
#include <ntfs-3g/device.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/layout.h>
#include <ntfs-3g/logfile.h>
#include <ntfs-3g/logging.h>
#include <ntfs-3g/security.h>
#include <ntfs-3g/volume.h>
}

// support.h defines these as macros, which would stand in for std::min and std::max.
#undef min
#undef max
