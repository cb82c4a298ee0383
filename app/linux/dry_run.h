// A dry run tells what a real run would do and changes nothing. Every file found
// infected is copied into a folder of the run's own, outside the scanned tree, held in
// use there as the original is, and cleaned by the engine itself with a restart list of
// its own: the outcome is the one a real run would give.
#pragma once

#include <memory>
#include <string>

#include "app/common/batch.h"
#include "platform/posix/posix_platform.h"

class DryRun {
  public:
    ~DryRun();
    // Makes the folder; false when it cannot.
    bool Start();
    // Puts the dry run in the batch run's place. Operations the engine puts on the dry
    // run's restart list are told to `watcher`.
    void Attach(BatchRun& run, ScheduleWatcher watcher);
    // The name of the user's file that a name in the dry run's folder stands for.
    std::string OriginalOf(const std::string& name) const;

  private:
    ScanOutcome ScanFile(Platform& host, const char* path, const char** label,
                         const PlatDirEntry* listed);
    ScanOutcome ScanCopy(const std::string& copy, const char** label, bool inUse);

    std::string m_folder;
    std::unique_ptr<PosixPlatform> m_platform;
    std::unique_ptr<Engine> m_engine;
    // The copy being cleaned, and the folder of the file it stands for.
    std::string m_place;
    std::string m_originalFolder;
    int m_copies = 0;
};
