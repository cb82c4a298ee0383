// The container format of a disk image, told by its content (never by its name).
#pragma once

#include <string>

#include "platform/image/block_device.h"

enum class ImageFormat { kUnknown, kRaw, kQcow, kQcow2, kVmdk, kVdi, kVhd, kVhdx };

// `file` is the image file itself.
ImageFormat DetectImageFormat(BlockDevice& file);

// "raw", "qcow", "qcow2", "VMDK", "VDI", "VHD", "VHDX".
const char* ImageFormatName(ImageFormat format);
// The name of QEMU's driver for it.
const char* QemuDriverName(ImageFormat format);
