// SHA-1 on the processor's own instructions where it has them (x86's SHA
// extensions), for the checksum of a repository's index: they hash some
// 2 GB a second, four to six times what portable code does.
#ifndef BUILDSWEEP_PLATFORM_SHA1_BLOCKS_H_
#define BUILDSWEEP_PLATFORM_SHA1_BLOCKS_H_

#include <cstddef>
#include <cstdint>

namespace platform {

/// Applies SHA-1's compression to `blocks` 64-byte blocks at `data`,
/// updating `state` (A to E), and returns true; false, with nothing done,
/// where the processor lacks the instructions (the caller then does it).
bool Sha1BlocksInHardware(std::uint32_t state[5], const unsigned char* data, std::size_t blocks);

}  // namespace platform

#endif  // BUILDSWEEP_PLATFORM_SHA1_BLOCKS_H_
