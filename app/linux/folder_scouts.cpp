#include "app/linux/folder_scouts.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <iterator>

namespace {

// How far the scouts may go ahead of the walk; once there, they wait until it has come
// half the way, so that they wake seldom. How many folders they may know of without
// having listed them (those furthest ahead are forgotten first).
const uint64_t kFoldersAhead = 256;
const size_t kMostToList = 4096;

bool IsDotName(const char* name) {
    return name[0] == '.' && (!name[1] || (name[1] == '.' && !name[2]));
}

// The subfolders the listing of `folder` names, in its order, as many as may be kept;
// none when it cannot be listed. A type the listing does not give is not asked: this
// is only read ahead. Only the root may be reached through a link, as the walk's is.
std::vector<std::string> ListSubfolders(const std::string& folder, bool isRoot) {
    std::vector<std::string> subfolders;
    int fd = open(folder.empty() ? "/" : folder.c_str(),
                  O_RDONLY | O_DIRECTORY | O_CLOEXEC | (isRoot ? 0 : O_NOFOLLOW));
    DIR* listing = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!listing) {
        if (fd >= 0) close(fd);
        return subfolders;
    }
    while (dirent* entry = readdir(listing))
        if (entry->d_type == DT_DIR && !IsDotName(entry->d_name) && subfolders.size() < kMostToList)
            subfolders.push_back(entry->d_name);
    closedir(listing);
    return subfolders;
}

std::string PlaceOfChild(const std::string& place, size_t index) {
    std::string child = place;
    for (int shift = 24; shift >= 0; shift -= 8) child += char((index >> shift) & 0xFF);
    return child;
}

}  // namespace

FolderScouts::FolderScouts(const std::string& root, int threads) {
    std::string folder = root;
    if (folder.size() > 1 && folder.back() == '/') folder.pop_back();  // as WalkTree does
    m_toList.emplace(std::string(), folder);
    for (int thread = 0; thread < threads; ++thread)
        m_threads.emplace_back(&FolderScouts::Scout, this);
}

FolderScouts::~FolderScouts() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ending = true;
    }
    m_changed.notify_all();
    for (std::thread& thread : m_threads) thread.join();
}

void FolderScouts::Entered() {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_entered;
    if (m_listed == m_entered + kFoldersAhead / 2 && m_idle > 0) m_changed.notify_all();
}

bool FolderScouts::MayList() const {
    return !m_toList.empty() && m_listed < m_entered + kFoldersAhead;
}

// A scout ends with the walk, or once every folder is listed.
void FolderScouts::Scout() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_ending && (m_listing > 0 || !m_toList.empty())) {
        if (!MayList()) {
            ++m_idle;
            m_changed.wait(lock);
            --m_idle;
            continue;
        }
        std::string place = m_toList.begin()->first, folder = m_toList.begin()->second;
        m_toList.erase(m_toList.begin());
        ++m_listed;
        ++m_listing;
        lock.unlock();
        std::vector<std::string> subfolders = ListSubfolders(folder, place.empty());
        lock.lock();
        --m_listing;
        Found(place, folder, subfolders);
        if (m_idle > 0 && (MayList() || m_listing == 0)) m_changed.notify_all();
    }
}

void FolderScouts::Found(const std::string& place, const std::string& folder,
                         const std::vector<std::string>& subfolders) {
    for (size_t index = 0; index < subfolders.size(); ++index) {
        m_toList.emplace(PlaceOfChild(place, index), folder + '/' + subfolders[index]);
        if (m_toList.size() > kMostToList) m_toList.erase(std::prev(m_toList.end()));
    }
}
