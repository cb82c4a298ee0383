// Paths of any length. The kernel takes at most PATH_MAX bytes of a path in one call,
// so a longer path is reached through a descriptor of its folder, opened a part of the
// path at a time; shorter ones are used as they are.
#pragma once

class AtPath {
  public:
    explicit AtPath(const char* path);
    ~AtPath();
    AtPath(const AtPath&) = delete;
    AtPath& operator=(const AtPath&) = delete;

    // For the *at() calls: the folder (AT_FDCWD for a short path) and the name in it.
    // When the folder cannot be reached, Folder() is -1 and every call fails.
    int Folder() const { return m_folder; }
    const char* Name() const { return m_name; }
    // errno of a folder that could not be reached, or 0.
    int Error() const { return m_error; }

  private:
    int m_folder;
    const char* m_name;
    int m_error;
};

// Makes the creations, renames and deletions in the folder that holds `path` durable
// (fsync of the folder); false when it cannot.
bool SyncFolderOf(const char* path);
