// Opens a disk image to change it, as the tool does, for the test that kills it at
// each of its system calls:
//   journal_writer change IMAGE   makes the rounds of journal_changes.h, one Flush each
//   journal_writer open IMAGE     opens it (rolling back what a killed run left) and ends
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/image/disk/disk.h"
#include "tests/image/disk/journal_changes.h"

int main(int argc, char** argv) {
    if (argc != 3 || (strcmp(argv[1], "change") != 0 && strcmp(argv[1], "open") != 0)) {
        fprintf(stderr, "usage: journal_writer change|open IMAGE\n");
        return 2;
    }
    std::string error;
    std::unique_ptr<Disk> disk = OpenDisk(argv[2], DiskMode::kReadWrite, &error);
    if (!disk) {
        fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    if (!disk->Notice().empty()) printf("%s\n", disk->Notice().c_str());
    if (strcmp(argv[1], "open") == 0) return 0;
    BlockDevice& device = disk->Device();
    for (int round = 1; round <= journaltest::kRounds; ++round) {
        for (const journaltest::Change& change : journaltest::RoundChanges(round, device.Size())) {
            if (!device.Write(change.offset, change.bytes.data(), change.bytes.size())) return 1;
        }
        if (!device.Flush()) {
            fprintf(stderr, "%s\n", disk->FlushError().c_str());
            return 1;
        }
    }
    return 0;
}
