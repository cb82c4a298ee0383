// Harmless synthetic samples of every form the scanner knows: filler bytes with
// four bytes forced so that a region's Crc32 register equals a signature value.
// Every function is deterministic: the same arguments give the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace samples {

typedef std::vector<unsigned char> Bytes;

enum Variant { VARIANT_A, VARIANT_E };

// A deterministic xorshift32 sequence.
class Random {
  public:
    explicit Random(uint32_t seed);
    uint32_t Next();
    // A number from 0 to `bound` - 1 (`bound` > 0).
    uint32_t Below(uint32_t bound);

  private:
    uint32_t state_;
};

// Deterministic filler of `size` bytes drawn from `seed`.
Bytes Filler(size_t size, uint32_t seed);

// Ordinary lines of English-like text, exactly `size` bytes.
Bytes TextFile(size_t size, uint32_t seed);

// Overwrites the four bytes at `patchAt` (inside the region) so that the Crc32
// register over data[regionStart, regionStart + regionLength) equals `target`.
void ForceCrc(Bytes& data, size_t regionStart, size_t regionLength, size_t patchAt,
              uint32_t target);

// A minimal, valid PE32 image (loadable as a data file) whose bytes 4096 to 32767
// carry the worm block of `variant`, with `host` as resource 102 of type 10, or
// with no resource at all when `host` is null.
Bytes InfectedExe(Variant variant, const Bytes* host);

// A valid PE32 image with the same layout but a clean block: not infected.
// With `resource`, it holds that resource as 102 of type 10.
Bytes CleanExe(const Bytes* resource);

// An infected executable whose host resource claims a page more than the file holds.
Bytes ExeWithBrokenHost(Variant variant, const Bytes& host);

// An infected executable whose host resource is the whole file itself.
Bytes ExeThatIsItsOwnHost(Variant variant);

// An executable nested `depth` times around `host` (depth 1 = InfectedExe).
Bytes NestedExe(Variant variant, const Bytes& host, int depth);

// The worm's e-mail message of `variant`: header of 717 bytes and block at 6320.
Bytes MailMessage(Variant variant);

// The 120-byte script the worm appends to web pages.
Bytes ScriptTail();

// `page` with the script appended.
Bytes InfectedPage(const Bytes& page);

// A small ordinary web page.
Bytes PlainPage();

// Near misses that must stay clean, by name (see NearMissNames()); empty for an
// unknown name.
Bytes NearMiss(const std::string& name);
std::vector<std::string> NearMissNames();
// One line telling what the near miss is; empty for an unknown name.
std::string NearMissDescription(const std::string& name);

}  // namespace samples
