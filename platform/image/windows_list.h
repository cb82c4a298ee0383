// The restart list of the Windows an image holds, left by TorvoClean.exe run inside it,
// or by anything else, for its next boot: on the Windows 95 family the [rename] section
// of WINDOWS\WININIT.INI (short names, "NUL=" deletes), on the NT family
// PendingFileRenameOperations in the SYSTEM hive's current control set
// ("\??\C:\..." names). Only the volume that holds the list can change it; the other
// volumes of the disk see the entries that name their files, read-only, so that a file
// of theirs with entries waiting is left as it is.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/image/image_platform.h"
#include "platform/image/volume.h"

// Where a Windows of the image keeps its restart list, and which letter a volume has.
struct WindowsOnImage {
    enum Family { NONE, WIN95, NT } family = NONE;
    image::Volume* volume = nullptr;  // the volume that holds the list
    std::string listPath;             // WININIT.INI, or the SYSTEM hive, inside it
};

// The Windows a volume holds, if any.
WindowsOnImage FindWindows(image::Volume& volume);

// How the NT family's MountedDevices names a volume: the MBR disk signature and the
// partition's byte offset, or on a GPT disk the partition's GUID.
struct VolumeIdentity {
    bool gpt = false;
    uint32_t diskSignature = 0;
    uint64_t offset = 0;
    uint8_t partitionGuid[16] = {};
};

// The drive letter ('C'...) the Windows gives the volume, or 0 when it cannot be told
// (the volume that holds the Windows is C: then).
char DriveLetterOf(const WindowsOnImage& windows, const VolumeIdentity& volume);

// The list as `volume`, drive `letter`, sees it; writable only on the volume that holds
// it. `error`, when the list cannot be used at all (a broken hive).
std::unique_ptr<ImageRestartList> MakeWindowsRestartList(const WindowsOnImage& windows,
                                                         image::Volume& volume, char letter);
