// The locks an image is held under while it is open.
//
// Every run of the tool takes a lock of its own on the image file (flock): shared to
// read it, exclusive to change it. A run that cannot get it is refused at once, with a
// message, rather than left waiting on another run that may take long.
//
// On a raw image, which the tool reads and writes itself, it also takes the lock bytes
// of QEMU's programs (open file description locks on bytes 100 and up for the
// permissions it uses, 200 and up for those it does not share with others), so that a
// running QEMU and the tool refuse each other as two QEMUs do. Other formats are opened
// by qemu-nbd, which takes those locks itself.
#pragma once

#include <memory>
#include <string>

class ImageLock {
  public:
    // Null, with `error` set, when another holds a lock that conflicts.
    static std::unique_ptr<ImageLock> Take(const std::string& path, bool exclusive, bool qemuLocks,
                                           bool writing, std::string* error);
    ~ImageLock();
    ImageLock(const ImageLock&) = delete;
    ImageLock& operator=(const ImageLock&) = delete;

  private:
    explicit ImageLock(int fd) : m_fd(fd) {}
    int m_fd;
};
