// The file systems of an image's volumes, behind one interface (image::Volume).
#pragma once

#include <memory>
#include <string>

#include "platform/image/block_device.h"
#include "platform/image/volume.h"

// The FAT12, FAT16 or FAT32 volume at the start of `device`; null, with `error`, for
// anything else, or one too broken to use.
std::unique_ptr<image::Volume> OpenFatVolume(BlockDevice& device, std::string* error);
