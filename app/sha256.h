// SHA-256 (FIPS 180-4), for the quarantine's record of what it keeps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class CSha256 {
  public:
    CSha256();
    void Add(const void* data, size_t size);
    // The digest in lowercase hex, as sha256sum prints it; the object is used up.
    std::string HexDigest();

  private:
    void Block(const unsigned char* block);

    uint32_t m_state[8];
    unsigned char m_buffer[64];
    size_t m_nBuffered;
    uint64_t m_nBytes;
};

// The digest of a whole file, or an empty string when it cannot be read.
std::string Sha256OfFile(const char* path);
