// What the program promises for the user's files: for each one whether it exists,
// what it holds, whether another program holds it open, and what waits for the
// restart.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tests/model/forms.h"

namespace model {

// The user's files below the scanned root, in two folders.
const int kFileCount = 5;
extern const char* const kFileNames[kFileCount];
extern const char kFolder[];

enum class Pending { None, Repair, Delete };

struct ModelFile {
    std::string name;
    bool exists = false;
    Content content;
    bool held = false;
    Pending pending = Pending::None;
    Bytes pendingBytes;  // what the restart puts in place by a pending repair
    // Every content the file held or was promised, to tell what a check found.
    std::vector<std::pair<std::string, Bytes>> seen;
};

class Model {
  public:
    Model();

    const ModelFile& File(int file) const { return files_[file]; }
    bool AnyHeldInfected() const;

    void Write(int file, const Content& content, const std::string& when);
    void SetHeld(int file, bool held) { files_[file].held = held; }
    // What waited for the restart is given up: the file was found clean.
    void TakeBack(int file) { files_[file].pending = Pending::None; }
    // A cleaning carried out now: repaired or deleted.
    void CleanNow(int file, const std::string& when);
    // A cleaning that waits for the restart: the file stays as it is.
    void CleanAtRestart(int file, const std::string& when);
    // A scan as the program promises it: clean files lose what waited for them,
    // infected ones are cleaned now or, held, at the restart.
    void Scan(const std::string& when);
    // Every hold released, every pending promise carried out.
    void Restart();

  private:
    void Remember(int file, const std::string& label, const Bytes& bytes);

    std::vector<ModelFile> files_;
};

}  // namespace model
