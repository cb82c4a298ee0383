#include "tests/model/model.h"

namespace model {

const char* const kFileNames[kFileCount] = {"a.htm", "b.exe", "sub/c.eml", "sub/d.htm",
                                            "sub/e.exe"};
const char kFolder[] = "sub";

Model::Model() : files_(kFileCount) {
    for (int file = 0; file < kFileCount; ++file) files_[file].name = kFileNames[file];
}

bool Model::AnyHeldInfected() const {
    for (const ModelFile& file : files_)
        if (file.exists && file.held && file.content.infected) return true;
    return false;
}

void Model::Remember(int file, const std::string& label, const Bytes& bytes) {
    files_[file].seen.emplace_back(label, bytes);
}

void Model::Write(int file, const Content& content, const std::string& when) {
    files_[file].exists = true;
    files_[file].content = content;
    Remember(file, "the " + content.description + " written " + when, content.bytes);
}

void Model::CleanNow(int file, const std::string& when) {
    ModelFile& f = files_[file];
    f.pending = Pending::None;
    if (f.content.deletable) {
        f.exists = false;
        return;
    }
    f.content = RepairedContent(f.content);
    Remember(file, "the content " + f.content.description + ", repaired " + when, f.content.bytes);
}

void Model::CleanAtRestart(int file, const std::string& when) {
    ModelFile& f = files_[file];
    f.pending = f.content.deletable ? Pending::Delete : Pending::Repair;
    f.pendingBytes = f.content.repaired;
    if (f.pending == Pending::Repair)
        Remember(file, "the repair of the " + f.content.description + " scheduled " + when,
                 f.pendingBytes);
}

void Model::Scan(const std::string& when) {
    for (int file = 0; file < kFileCount; ++file) {
        ModelFile& f = files_[file];
        if (!f.exists) continue;
        if (!f.content.infected)
            TakeBack(file);
        else if (f.held)
            CleanAtRestart(file, when);
        else
            CleanNow(file, when);
    }
}

void Model::Restart() {
    for (ModelFile& f : files_) {
        f.held = false;
        if (f.pending == Pending::Delete) f.exists = false;
        if (f.pending == Pending::Repair) {
            f.exists = true;
            f.content = Content();
            f.content.bytes = f.pendingBytes;
            f.content.description = "repair carried out at the restart";
        }
        f.pending = Pending::None;
    }
}

}  // namespace model
