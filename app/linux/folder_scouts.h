// Folders listed ahead of the walk, on threads of their own: a listing is a disk read
// too, and a cold walk of many small folders would otherwise wait on one at a time. The
// scouts list several folders at once, only to have them read into the page cache,
// where the walk then finds its own listings; they go the walk's way (depth first, in
// the listing's order, no link followed), a bounded number of folders ahead of it.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FolderScouts {
  public:
    // Scouts the tree under `root`, whose listing the walk begins with, on `threads`.
    FolderScouts(const std::string& root, int threads);
    ~FolderScouts();
    FolderScouts(const FolderScouts&) = delete;
    FolderScouts& operator=(const FolderScouts&) = delete;

    // The walk goes into one more folder.
    void Entered();

  private:
    void Scout();
    bool MayList() const;
    void Found(const std::string& place, const std::string& folder,
               const std::vector<std::string>& subfolders);

    std::mutex m_mutex;
    std::condition_variable m_changed;
    // Folders to list by their place in the walk's order (the index of each folder on
    // the way to it, in its parent's listing, four bytes a level): the first comes first.
    std::map<std::string, std::string> m_toList;
    uint64_t m_listed = 0, m_entered = 1;
    int m_listing = 0, m_idle = 0;
    bool m_ending = false;
    std::vector<std::thread> m_threads;
};
