// A disk image in a format other than raw, read and written through a qemu-nbd of its
// own that libnbd starts (systemd socket activation) and that ends with the device.
// qemu-nbd is also ended (SIGTERM, on which it finishes its requests and flushes) when
// the thread that opened the device ends: keep the device on a thread that outlives it.
// Reads go through a bounded cache of large chunks, fetched ahead on sequential runs,
// since every request to the server costs tens of microseconds.
#pragma once

#include <memory>
#include <string>

#include "platform/image/block_device.h"

enum class NbdAccess {
    kReadWrite,
    kReadOnly,
    kThrowAway,  // writable, but what is written goes to an overlay that is dropped
};

// Null, with `error` set, when qemu-nbd cannot serve the image; when that is because
// another program holds the image's lock, `error` says so.
std::unique_ptr<BlockDevice> OpenNbdDevice(const std::string& path, const char* qemuDriver,
                                           NbdAccess access, std::string* error);
