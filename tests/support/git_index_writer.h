// A small writer of git index files, for feeding the reader indexes that
// git would never write (and mutations of them) without git at hand.
#ifndef BUILDSWEEP_TESTS_SUPPORT_GIT_INDEX_WRITER_H_
#define BUILDSWEEP_TESTS_SUPPORT_GIT_INDEX_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/git_index.h"

namespace testsupport {

/// One entry to write.
struct IndexEntry {
  std::string path;
  std::uint32_t mode = 0100644;
  /// Extended flags (0x4000 skip-worktree, 0x2000 intent-to-add); any
  /// makes the entry extended.
  std::uint16_t extended_flags = 0;
};

inline void AppendBe32(std::string* out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<char>(value >> shift));
}
inline void AppendBe16(std::string* out, std::uint16_t value) {
  out->push_back(static_cast<char>(value >> 8));
  out->push_back(static_cast<char>(value));
}

/// An extension record: signature, size, data.
inline std::string IndexExtension(std::string_view signature, std::string_view data) {
  std::string record(signature);
  AppendBe32(&record, static_cast<std::uint32_t>(data.size()));
  record.append(data.data(), data.size());
  return record;
}

/// An EWAH bitmap with the bits `positions` (ascending) set, written as
/// git does: literal words only, one run-length word before each group.
inline std::string EwahBitmap(const std::vector<std::uint32_t>& positions) {
  std::vector<std::uint64_t> literals;
  for (const std::uint32_t position : positions) {
    if (literals.size() <= position / 64) literals.resize(position / 64 + 1);
    literals[position / 64] |= std::uint64_t{1} << (position % 64);
  }
  std::string out;
  AppendBe32(&out, static_cast<std::uint32_t>(literals.size() * 64));
  AppendBe32(&out, static_cast<std::uint32_t>(literals.empty() ? 0 : literals.size() + 1));
  if (!literals.empty()) {
    const std::uint64_t marker = static_cast<std::uint64_t>(literals.size()) << 33;
    AppendBe32(&out, static_cast<std::uint32_t>(marker >> 32));
    AppendBe32(&out, static_cast<std::uint32_t>(marker));
    for (const std::uint64_t word : literals) {
      AppendBe32(&out, static_cast<std::uint32_t>(word >> 32));
      AppendBe32(&out, static_cast<std::uint32_t>(word));
    }
  }
  AppendBe32(&out, 0);
  return out;
}

/// Replaces the last 20 bytes of `bytes` with the SHA-1 of the rest.
inline std::string WithChecksum(std::string bytes) {
  if (bytes.size() < 20) return bytes;
  bytes.resize(bytes.size() - 20);
  bytes += engine::Sha1(bytes);
  return bytes;
}

/// An index file of `version` (2, 3 or 4) holding `entries` in the order
/// given, then the extension records `extensions`, then its checksum.
inline std::string WriteIndex(std::uint32_t version, const std::vector<IndexEntry>& entries,
                              const std::string& extensions = std::string()) {
  std::string out = "DIRC";
  AppendBe32(&out, version);
  AppendBe32(&out, static_cast<std::uint32_t>(entries.size()));
  std::string previous;
  for (const IndexEntry& entry : entries) {
    const std::size_t start = out.size();
    out.append(24, '\1');  // ctime, mtime, dev, ino: never read
    AppendBe32(&out, entry.mode);
    out.append(12, '\2');  // uid, gid, size
    out.append(20, '\3');  // object id
    const std::size_t length = entry.path.size() < 0xfff ? entry.path.size() : 0xfff;
    AppendBe16(&out, static_cast<std::uint16_t>(length | (entry.extended_flags != 0 ? 0x4000 : 0)));
    if (entry.extended_flags != 0) AppendBe16(&out, entry.extended_flags);
    if (version == 4) {
      std::size_t common = 0;
      while (common < previous.size() && common < entry.path.size() &&
             previous[common] == entry.path[common]) {
        ++common;
      }
      // git's varint: 7 bits a byte, most significant first, each
      // continuation one less.
      std::uint64_t strip = previous.size() - common;
      unsigned char varint[16];
      int at = 15;
      varint[at] = static_cast<unsigned char>(strip & 127);
      while (strip >>= 7) varint[--at] = static_cast<unsigned char>(128 | (--strip & 127));
      out.append(reinterpret_cast<const char*>(varint + at), static_cast<std::size_t>(16 - at));
      out.append(entry.path, common, std::string::npos);
      out.push_back('\0');
    } else {
      out.append(entry.path);
      const std::size_t name_offset = entry.extended_flags != 0 ? 64 : 62;
      const std::size_t size = (name_offset + entry.path.size() + 8) & ~std::size_t{7};
      out.append(size - (out.size() - start), '\0');
    }
    previous = entry.path;
  }
  out += extensions;
  out.append(20, '\0');
  return WithChecksum(out);
}

}  // namespace testsupport

#endif  // BUILDSWEEP_TESTS_SUPPORT_GIT_INDEX_WRITER_H_
