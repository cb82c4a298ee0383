#include "engine/tree_walk.h"

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace {

// An open listing holds a descriptor, of which a process has few: below this depth a
// folder is read to its end before the walk goes down into one of its subfolders, and
// let go.
const size_t kMostOpenListings = 64;

bool IsDotEntry(const char* name) {
    return !strcmp(name, ".") || !strcmp(name, "..");
}

// One folder of the walk: its listing while it is open, then the entries that were left.
class Folder {
  public:
    Folder(Platform& platform, std::string path) : m_platform(platform), m_path(std::move(path)) {}
    ~Folder() {
        if (m_listing) m_platform.ListClose(m_listing);
    }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    bool Open() {
        m_listing = m_platform.ListFirst(m_path.c_str(), &m_first);
        m_hasFirst = m_listing != nullptr;
        return m_hasFirst;
    }

    const std::string& Path() const { return m_path; }

    bool Next(PlatDirEntry* entry) {
        if (m_hasFirst) {
            *entry = m_first;
            m_hasFirst = false;
            return true;
        }
        if (m_listing) return m_platform.ListNext(m_listing, entry);
        if (m_nextSaved == m_saved.size()) return false;
        const std::pair<std::string, PlatDirEntry>& saved = m_saved[m_nextSaved++];
        *entry = saved.second;
        entry->name = saved.first.c_str();
        return true;
    }

    // Entries read from here on are opened by their paths.
    void SaveRestAndClose() {
        if (!m_listing) return;
        PlatDirEntry entry;
        while (m_platform.ListNext(m_listing, &entry)) {
            entry.listing = nullptr;
            m_saved.emplace_back(entry.name, entry);
        }
        m_platform.ListClose(m_listing);
        m_listing = nullptr;
    }

  private:
    Platform& m_platform;
    std::string m_path;
    PlatListing* m_listing = nullptr;
    PlatDirEntry m_first = {};
    bool m_hasFirst = false;
    std::vector<std::pair<std::string, PlatDirEntry>> m_saved;
    size_t m_nextSaved = 0;
};

}  // namespace

// A symbolic link (a junction, on a Windows disk mounted elsewhere) may lead anywhere,
// even back up the tree: it is neither followed nor scanned.
bool WalkTree(Platform& platform, char* path, TreeWalk& walk) {
    size_t length = strlen(path);
    if (length > 0 && path[length - 1] == PLAT_PATH_SEPARATOR) path[length - 1] = '\0';
    std::vector<std::unique_ptr<Folder>> folders;
    folders.emplace_back(new Folder(platform, path));
    if (!folders.back()->Open()) return false;
    PlatDirEntry entry;
    while (!folders.empty() && !walk.ShouldStop()) {
        Folder& folder = *folders.back();
        if (!folder.Next(&entry)) {
            folders.pop_back();
            continue;
        }
        if (entry.isLink || (entry.isDirectory && IsDotEntry(entry.name))) continue;
        std::string child = folder.Path() + PLAT_PATH_SEPARATOR + entry.name;
        if (!walk.ShouldVisit(child.c_str(), entry)) continue;
        if (entry.isDirectory && child.size() > platform.MaxFolderPathLength())
            entry.isUnreachable = true;
        if (!entry.isDirectory || entry.isUnreachable) {
            walk.ReportFile(child.c_str(), entry);
            continue;
        }
        if (folders.size() >= kMostOpenListings) folder.SaveRestAndClose();
        std::unique_ptr<Folder> subfolder(new Folder(platform, child));
        if (subfolder->Open()) folders.push_back(std::move(subfolder));
    }
    return true;
}
