#include "platform/image/disk/image_format.h"

#include <cstdint>
#include <cstring>

#include "platform/image/disk/byte_order.h"
#include "platform/image/disk/file_system_probe.h"

namespace {

constexpr size_t kHead = 1024;
constexpr size_t kVhdFooter = 512;
constexpr uint32_t kVdiSignature = 0xBEDA107F;

bool StartsWith(const uint8_t* bytes, const char* text) {
    return memcmp(bytes, text, strlen(text)) == 0;
}

ImageFormat FormatOfHead(const uint8_t* head) {
    if (StartsWith(head, "QFI\xFB")) {
        return (head[4] | head[5] | head[6]) == 0 && head[7] == 1 ? ImageFormat::kQcow
                                                                  : ImageFormat::kQcow2;
    }
    if (StartsWith(head, "KDMV") || StartsWith(head, "COWD") ||
        StartsWith(head, "# Disk DescriptorFile")) {
        return ImageFormat::kVmdk;
    }
    if (Le32(head + 0x40) == kVdiSignature) return ImageFormat::kVdi;
    if (StartsWith(head, "vhdxfile")) return ImageFormat::kVhdx;
    // A dynamic VHD begins with a copy of its footer.
    if (StartsWith(head, "conectix")) return ImageFormat::kVhd;
    return ImageFormat::kUnknown;
}

// A fixed VHD is the raw disk followed by its footer (of 511 bytes in old images).
bool HasVhdFooter(BlockDevice& file) {
    uint8_t footer[kVhdFooter];
    for (size_t length : {kVhdFooter, kVhdFooter - 1}) {
        if (file.Size() >= length && file.Read(file.Size() - length, footer, 8) &&
            StartsWith(footer, "conectix")) {
            return true;
        }
    }
    return false;
}

// A partition table (or the protective MBR of a GPT) ends its sector in 55 AA; so
// does a boot sector, which is told by its parameter block all the same.
bool LooksLikeRawDisk(const uint8_t* head) {
    return (head[510] == 0x55 && head[511] == 0xAA) ||
           ProbeBootSector(head).kind != FileSystemKind::kOther;
}

}  // namespace

ImageFormat DetectImageFormat(BlockDevice& file) {
    uint8_t head[kHead] = {};
    if (!file.Read(0, head, file.Size() < kHead ? size_t(file.Size()) : kHead))
        return ImageFormat::kUnknown;
    ImageFormat format = FormatOfHead(head);
    if (format != ImageFormat::kUnknown) return format;
    if (HasVhdFooter(file)) return ImageFormat::kVhd;
    if (file.Size() >= 512 && LooksLikeRawDisk(head)) return ImageFormat::kRaw;
    return ImageFormat::kUnknown;
}

const char* ImageFormatName(ImageFormat format) {
    switch (format) {
        case ImageFormat::kRaw:
            return "raw";
        case ImageFormat::kQcow:
            return "qcow";
        case ImageFormat::kQcow2:
            return "qcow2";
        case ImageFormat::kVmdk:
            return "VMDK";
        case ImageFormat::kVdi:
            return "VDI";
        case ImageFormat::kVhd:
            return "VHD";
        case ImageFormat::kVhdx:
            return "VHDX";
        case ImageFormat::kUnknown:
            break;
    }
    return "unknown";
}

const char* QemuDriverName(ImageFormat format) {
    switch (format) {
        case ImageFormat::kVmdk:
            return "vmdk";
        case ImageFormat::kVdi:
            return "vdi";
        case ImageFormat::kVhd:
            return "vpc";
        case ImageFormat::kVhdx:
            return "vhdx";
        default:
            return ImageFormatName(format);
    }
}
