// What the image tests share to run other programs on images: a folder of their own and
// a shell.
#pragma once

#include <string>

namespace imagetest {

// A folder of its own under $TMPDIR ("<prefix>.XXXXXX"), removed with everything in it
// unless the variable `keep` is set (to look into an image after a failure).
class TempDir {
  public:
    TempDir(const std::string& prefix, const char* keep);
    ~TempDir();
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
    const char* m_keep;
};

std::string Quote(const std::string& text);
// Runs `command` with sh; its standard output and error, and its exit status.
std::string Shell(const std::string& command, int* status = nullptr);

}  // namespace imagetest
