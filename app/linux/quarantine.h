// The quarantine of the Linux tool: before the program changes or deletes a file, a
// copy of it goes into a folder of the user's choice, with a line in its manifest; a
// later run puts the originals back.
#pragma once

#include <map>
#include <string>

#include "app/common/batch.h"
#include "app/linux/images.h"

// Files are read through the platform that holds them: the host's, or that of a volume
// of a disk image (whose files are kept under the image, the partition and the path
// inside it).
class CQuarantine {
  public:
    // False, with a message, when the folder cannot be made or its manifest opened.
    bool Open(const char* folder);
    // Keeps a whole copy of `path`, read through `platform` (`volume`: the image's
    // volume that platform is, if any); false when it cannot, and the file must not
    // change.
    bool Keep(Platform& platform, const char* path, const ImageVolumeName* volume = nullptr);
    // Writes the manifest line of a kept file, now that the outcome is known.
    void Record(const char* path, BatchFinding finding);

  private:
    struct Kept {
        std::string digest;
        unsigned mode;
        Platform* platform;
        ImageVolumeName volume;  // empty for a file of the host
    };
    std::string m_folder;
    std::map<std::string, Kept> m_kept;
};

// Puts back every original the manifest of `folder` lists, the latest change first,
// unless the file changed since. Returns the exit status: 0 all done, 2 otherwise.
int RestoreQuarantine(Engine& engine, const char* folder, bool quiet);
