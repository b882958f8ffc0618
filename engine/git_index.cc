#include "engine/git_index.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <thread>
#include <utility>
#include <vector>

#include "engine/json.h"
#include "platform/sha1_blocks.h"

namespace engine {

void PathList::Add(std::string_view path) {
  spans_.push_back({static_cast<std::uint32_t>(bytes_.size()), static_cast<std::uint32_t>(path.size())});
  bytes_.append(path.data(), path.size());
}

void PathList::Reserve(std::size_t paths, std::size_t bytes) {
  spans_.reserve(paths);
  bytes_.reserve(bytes);
}

void PathList::SortUnique() {
  const auto less = [this](const Span& a, const Span& b) {
    return std::string_view(bytes_.data() + a.offset, a.size) <
           std::string_view(bytes_.data() + b.offset, b.size);
  };
  // git keeps its index sorted already: then this is one pass.
  if (!std::is_sorted(spans_.begin(), spans_.end(), less)) {
    std::sort(spans_.begin(), spans_.end(), less);
  }
  const auto equal = [this](const Span& a, const Span& b) {
    return std::string_view(bytes_.data() + a.offset, a.size) ==
           std::string_view(bytes_.data() + b.offset, b.size);
  };
  spans_.erase(std::unique(spans_.begin(), spans_.end(), equal), spans_.end());
  // Room was made for the whole index file; keep only what the paths take.
  bytes_.shrink_to_fit();
  spans_.shrink_to_fit();
}

bool PathList::ContainsSorted(std::string_view path) const {
  std::size_t low = 0;
  std::size_t high = spans_.size();
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    const std::string_view here = (*this)[middle];
    if (here == path) return true;
    if (here < path) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return false;
}

namespace {

// ---------------------------------------------------------------------------
// SHA-1, for the checksum every index file ends with.

std::uint32_t RotateLeft(std::uint32_t value, int bits) {
  return (value << bits) | (value >> (32 - bits));
}

std::uint32_t Be32(const unsigned char* at) {
  return std::uint32_t{at[0]} << 24 | std::uint32_t{at[1]} << 16 | std::uint32_t{at[2]} << 8 |
         std::uint32_t{at[3]};
}

// One round of SHA-1; `f` is the round group's function of b, c and d.
template <typename Function>
void Sha1Round(std::uint32_t& a, std::uint32_t& b, std::uint32_t& c, std::uint32_t& d,
               std::uint32_t& e, std::uint32_t w, std::uint32_t k, Function f) {
  const std::uint32_t next = RotateLeft(a, 5) + f(b, c, d) + e + k + w;
  e = d;
  d = c;
  c = RotateLeft(b, 30);
  b = a;
  a = next;
}

// The 80 rounds as four loops of 20 without branches, over a schedule of
// 16 words kept in a ring: a ten-megabyte index is checked in tens of
// milliseconds.
void Sha1Block(std::uint32_t state[5], const unsigned char* block) {
  std::uint32_t w[16];
  for (int i = 0; i < 16; ++i) w[i] = Be32(block + 4 * i);
  const auto schedule = [&w](int i) {
    if (i < 16) return w[i];
    const std::uint32_t next =
        RotateLeft(w[(i + 13) & 15] ^ w[(i + 8) & 15] ^ w[(i + 2) & 15] ^ w[i & 15], 1);
    w[i & 15] = next;
    return next;
  };
  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
  const auto choose = [](std::uint32_t x, std::uint32_t y, std::uint32_t z) { return z ^ (x & (y ^ z)); };
  const auto parity = [](std::uint32_t x, std::uint32_t y, std::uint32_t z) { return x ^ y ^ z; };
  const auto majority = [](std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return (x & y) | (z & (x | y));
  };
  for (int i = 0; i < 20; ++i) Sha1Round(a, b, c, d, e, schedule(i), 0x5a827999, choose);
  for (int i = 20; i < 40; ++i) Sha1Round(a, b, c, d, e, schedule(i), 0x6ed9eba1, parity);
  for (int i = 40; i < 60; ++i) Sha1Round(a, b, c, d, e, schedule(i), 0x8f1bbcdc, majority);
  for (int i = 60; i < 80; ++i) Sha1Round(a, b, c, d, e, schedule(i), 0xca62c1d6, parity);
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
}

// ---------------------------------------------------------------------------
// The index file's layout.

constexpr std::size_t kHashBytes = 20;          // SHA-1; SHA-256 repositories are refused earlier
constexpr std::size_t kHeaderBytes = 12;        // "DIRC", version, entry count
constexpr std::size_t kStatBytes = 40;          // ctime, mtime, dev, ino, mode, uid, gid, size
constexpr std::size_t kModeOffset = 24;
constexpr std::size_t kFlagsOffset = kStatBytes + kHashBytes;
constexpr std::size_t kSmallestEntryBytes = kFlagsOffset + 2;
constexpr std::uint16_t kExtendedFlag = 0x4000;
constexpr std::uint16_t kNameLengthMask = 0x0fff;
// skip-worktree and intent-to-add; git refuses entries with any other.
constexpr std::uint16_t kKnownExtendedFlags = 0x6000;
constexpr std::uint32_t kFileTypeMask = 0170000;
constexpr std::uint32_t kSparseFolderMode = 0040000;

std::uint16_t Be16(const unsigned char* at) {
  return static_cast<std::uint16_t>(at[0] << 8 | at[1]);
}
std::uint64_t Be64(const unsigned char* at) {
  return std::uint64_t{Be32(at)} << 32 | Be32(at + 4);
}

/// A run-length compressed bitmap (git's EWAH), kept as its words.
struct Ewah {
  std::vector<std::uint64_t> words;
};

/// What one index file says beside its entries: whether it is split, and
/// how its entries were named (a split index's first entries are nameless
/// replacements of shared ones).
struct IndexFileFacts {
  std::uint32_t entries = 0;
  /// The "link" extension: the shared index's SHA-1 (empty when the index
  /// is not split, or split without a shared index) and its bitmaps.
  bool split = false;
  std::string shared_hash;
  Ewah deleted;
  Ewah replaced;
  /// Nameless entries before the first named one, and whether any came
  /// after one.
  std::size_t leading_nameless = 0;
  bool nameless_after_named = false;
};

/// Reads big-endian fields from a byte range, never past its end: every
/// read is checked, and a short one fails with a reason.
class Cursor {
 public:
  Cursor(const unsigned char* at, std::size_t size) : at_(at), left_(size) {}

  std::size_t left() const { return left_; }
  const unsigned char* at() const { return at_; }
  bool Skip(std::size_t bytes) {
    if (bytes > left_) return false;
    at_ += bytes;
    left_ -= bytes;
    return true;
  }
  bool Read32(std::uint32_t* value) {
    if (left_ < 4) return false;
    *value = Be32(at_);
    return Skip(4);
  }

 private:
  const unsigned char* at_;
  std::size_t left_;
};

// Reads one EWAH bitmap as git writes it: the bit count, the word count,
// the words and the position of the last run-length word.
bool ReadEwah(Cursor* cursor, Ewah* bitmap, std::string* error) {
  std::uint32_t bits = 0;
  std::uint32_t word_count = 0;
  if (!cursor->Read32(&bits) || !cursor->Read32(&word_count) ||
      cursor->left() / 8 < word_count) {
    *error = "a bitmap of the split index is cut short";
    return false;
  }
  bitmap->words.resize(word_count);
  for (std::uint64_t& word : bitmap->words) {
    word = Be64(cursor->at());
    cursor->Skip(8);
  }
  std::uint32_t last_run_word = 0;
  if (!cursor->Read32(&last_run_word)) {
    *error = "a bitmap of the split index is cut short";
    return false;
  }
  return true;
}

// Calls `each` with the position of every set bit of `bitmap`, in order,
// while it returns true; false when it did not, or a position reaches
// `limit` (no bitmap of a valid index counts that far).
template <typename Each>
bool ForEachBit(const Ewah& bitmap, std::uint64_t limit, Each each) {
  std::uint64_t position = 0;
  for (std::size_t at = 0; at < bitmap.words.size();) {
    const std::uint64_t marker = bitmap.words[at++];
    const std::uint64_t run_bits = ((marker >> 1) & 0xffffffffu) * 64;
    if ((marker & 1) != 0) {
      if (run_bits > 0 && position + run_bits > limit) return false;
      for (std::uint64_t i = 0; i < run_bits; ++i) {
        if (!each(position++)) return false;
      }
    } else {
      // Past `limit` only clear bits may follow; stopping the count there
      // keeps it from wrapping.
      position = std::min(position + run_bits, limit);
    }
    const std::uint64_t literal_words = marker >> 33;
    if (literal_words > bitmap.words.size() - at) return false;
    for (std::uint64_t i = 0; i < literal_words; ++i, ++at) {
      const std::uint64_t word = bitmap.words[at];
      for (int bit = 0; bit < 64; ++bit, ++position) {
        if ((word >> bit & 1) == 0) continue;
        if (position >= limit || !each(position)) return false;
      }
    }
  }
  return true;
}

bool ReadLinkExtension(Cursor data, IndexFileFacts* facts, std::string* error) {
  if (data.left() < kHashBytes) {
    *error = "its split-index link is cut short";
    return false;
  }
  const std::string hash(reinterpret_cast<const char*>(data.at()), kHashBytes);
  data.Skip(kHashBytes);
  facts->split = true;
  // An all-zero name: split, but every entry is in this file.
  if (hash != std::string(kHashBytes, '\0')) facts->shared_hash = hash;
  if (data.left() == 0) return true;
  if (!ReadEwah(&data, &facts->deleted, error) || !ReadEwah(&data, &facts->replaced, error)) {
    return false;
  }
  if (data.left() != 0) {
    *error = "its split-index link has bytes after its bitmaps";
    return false;
  }
  return true;
}

// Reads the extensions between the last entry and the checksum.
bool ReadExtensions(Cursor cursor, IndexFileFacts* facts, std::string* error) {
  while (cursor.left() > 0) {
    std::uint32_t size = 0;
    if (cursor.left() < 8) {
      *error = "it has stray bytes after its entries";
      return false;
    }
    const std::string signature(reinterpret_cast<const char*>(cursor.at()), 4);
    std::string shown = signature;
    for (char& c : shown) {
      if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7e) c = '?';
    }
    cursor.Skip(4);
    cursor.Read32(&size);
    if (size > cursor.left()) {
      *error = "its extension '" + shown + "' is cut short";
      return false;
    }
    const Cursor data(cursor.at(), size);
    cursor.Skip(size);
    if (signature == "link") {
      if (!ReadLinkExtension(data, facts, error)) return false;
    } else if (signature == "sdir") {
      // Only marks the index as sparse; its folder entries say the rest.
    } else if (signature[0] < 'A' || signature[0] > 'Z') {
      // git's rule: an extension whose name starts with a capital letter is
      // optional (a cache); any other changes what the index means.
      *error = "it needs the extension '" + shown + "', which this program does not know";
      return false;
    }
  }
  return true;
}

// git's varint of the v4 name compression: 7 bits a byte, high bit for
// more, each continuation adding one so no value has two spellings.
bool ReadVarint(Cursor* cursor, std::uint64_t* value) {
  if (cursor->left() == 0) return false;
  unsigned char byte = *cursor->at();
  cursor->Skip(1);
  std::uint64_t result = byte & 127;
  while ((byte & 128) != 0) {
    result += 1;
    if (result == 0 || (result >> 57) != 0 || cursor->left() == 0) return false;
    byte = *cursor->at();
    cursor->Skip(1);
    result = (result << 7) + (byte & 127);
  }
  *value = result;
  return true;
}

// Reads the entry at `cursor`; its name is left in `path`, which points
// into the entry itself, or for version 4's prefix compression into `name`
// (which holds the previous entry's name).
bool ReadEntry(Cursor* cursor, std::uint32_t version, std::string* name, std::string_view* path,
               bool* sparse_folder, std::string* error) {
  const unsigned char* const start = cursor->at();
  if (cursor->left() < kSmallestEntryBytes) {
    *error = "it is cut short in its entries";
    return false;
  }
  const std::uint32_t mode = Be32(start + kModeOffset);
  const std::uint16_t flags = Be16(start + kFlagsOffset);
  cursor->Skip(kSmallestEntryBytes);
  if ((flags & kExtendedFlag) != 0) {
    if (version < 3 || cursor->left() < 2) {
      *error = version < 3 ? "a version 2 index has an entry with extended flags"
                           : "it is cut short in its entries";
      return false;
    }
    if ((Be16(cursor->at()) & ~kKnownExtendedFlags) != 0) {
      *error = "an entry has flags this program does not know";
      return false;
    }
    cursor->Skip(2);
  }
  const std::size_t name_offset = static_cast<std::size_t>(cursor->at() - start);
  const std::size_t stated_length = flags & kNameLengthMask;
  std::size_t kept = 0;  // bytes of the previous name that this one starts with
  if (version == 4) {
    std::uint64_t strip = 0;
    if (!ReadVarint(cursor, &strip) || strip > name->size()) {
      *error = "an entry's name is malformed";
      return false;
    }
    kept = name->size() - static_cast<std::size_t>(strip);
  }
  const auto* terminator =
      static_cast<const unsigned char*>(std::memchr(cursor->at(), '\0', cursor->left()));
  if (terminator == nullptr) {
    *error = "it is cut short in its entries";
    return false;
  }
  const std::size_t suffix = static_cast<std::size_t>(terminator - cursor->at());
  // The flags hold the length unless it is 0xfff or more.
  if (stated_length < kNameLengthMask && stated_length != kept + suffix) {
    *error = "an entry's name does not have the length its flags say";
    return false;
  }
  const char* const suffix_at = reinterpret_cast<const char*>(cursor->at());
  if (version == 4) {
    name->resize(kept);
    name->append(suffix_at, suffix);
    *path = *name;
  } else {
    *path = std::string_view(suffix_at, suffix);
  }
  cursor->Skip(suffix + 1);
  if (version < 4) {
    // NUL padding to a multiple of 8 bytes, at least one NUL.
    const std::size_t entry_bytes = (name_offset + suffix + 8) & ~std::size_t{7};
    const std::size_t read = static_cast<std::size_t>(cursor->at() - start);
    if (!cursor->Skip(entry_bytes - read)) {
      *error = "it is cut short in its entries";
      return false;
    }
  }
  *sparse_folder = (mode & kFileTypeMask) == kSparseFolderMode;
  if (*sparse_folder && (path->empty() || path->back() != '/')) {
    *error = "a folder entry's name does not end in '/'";
    return false;
  }
  return true;
}

// Below this many bytes an index is checked on the reading thread: a
// thread costs more to start than hashing takes.
constexpr std::size_t kSmallestIndexCheckedAside = std::size_t{1} << 18;

// Whether the checksum at the end of `bytes` is right for the rest. git
// accepts an all-zero checksum: index.skipHash leaves it out.
bool ChecksumMatches(std::string_view bytes) {
  const std::string_view body = bytes.substr(0, bytes.size() - kHashBytes);
  const std::string_view trailer = bytes.substr(body.size());
  if (trailer == std::string_view("\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", kHashBytes)) {
    return true;
  }
  unsigned char digest[kHashBytes];
  Sha1Digest(body, digest);
  return std::memcmp(digest, trailer.data(), kHashBytes) == 0;
}

// Joins a thread however the scope is left (a sink out of memory throws).
struct JoinedAtEnd {
  std::thread& thread;
  ~JoinedAtEnd() {
    if (thread.joinable()) thread.join();
  }
};

// Reads one whole index file: hands `each` (path, whether a sparse folder,
// position) every named entry, and leaves the rest in `facts`. The
// checksum is verified first, or for a large file on a second thread while
// the entries are read: either way nothing read counts unless it matches.
template <typename Each>
bool ReadIndexFile(std::string_view bytes, IndexFileFacts* facts, std::string* error, Each each) {
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  if (bytes.size() < kHeaderBytes + kHashBytes || std::memcmp(data, "DIRC", 4) != 0) {
    *error = bytes.size() < kHeaderBytes + kHashBytes ? "it is too short to be an index"
                                                      : "it does not start as an index does";
    return false;
  }
  const std::uint32_t version = Be32(data + 4);
  if (version < 2 || version > 4) {
    *error = "it is of version " + std::to_string(version) + ", which this program does not know";
    return false;
  }
  bool checksum_matches = false;
  std::thread checker;
  const JoinedAtEnd joined{checker};
  if (bytes.size() >= kSmallestIndexCheckedAside) {
    try {
      checker = std::thread([&checksum_matches, bytes] { checksum_matches = ChecksumMatches(bytes); });
    } catch (const std::exception&) {
      // No thread to be had: check it here.
    }
  }
  const auto damaged = [error] {
    *error = "its checksum does not match; it is damaged";
    return false;
  };
  if (!checker.joinable() && !(checksum_matches = ChecksumMatches(bytes))) return damaged();
  const bool read = [&] {
    const std::uint32_t count = Be32(data + 8);
    Cursor cursor(data + kHeaderBytes, bytes.size() - kHeaderBytes - kHashBytes);
    if (count > cursor.left() / kSmallestEntryBytes) {
      *error = "it is cut short in its entries";
      return false;
    }
    facts->entries = count;
    std::string name;
    for (std::uint32_t i = 0; i < count; ++i) {
      std::string_view path;
      bool sparse_folder = false;
      if (!ReadEntry(&cursor, version, &name, &path, &sparse_folder, error)) return false;
      if (path.empty()) {
        if (i == facts->leading_nameless) {
          ++facts->leading_nameless;
        } else {
          facts->nameless_after_named = true;
        }
        continue;
      }
      each(path, sparse_folder, i);
    }
    return ReadExtensions(cursor, facts, error);
  }();
  if (checker.joinable()) checker.join();
  if (!checksum_matches) return damaged();
  return read;
}

// Sparse folders never nest in a valid index; should one lie inside
// another, the outer one already covers it.
void DropNestedFolders(PathList* folders) {
  PathList outermost;
  std::string outer;
  for (std::size_t i = 0; i < folders->size(); ++i) {
    const std::string_view folder = (*folders)[i];
    if (!outer.empty() && folder.substr(0, outer.size()) == outer) continue;
    outermost.Add(folder);
    outer.assign(folder.data(), folder.size());
  }
  *folders = std::move(outermost);
}

// How many entries the header of `bytes` says it holds, at most as many
// as fit in it.
std::size_t StatedEntries(std::string_view bytes) {
  if (bytes.size() < kHeaderBytes) return 0;
  return std::min<std::size_t>(Be32(reinterpret_cast<const unsigned char*>(bytes.data()) + 8),
                               bytes.size() / kSmallestEntryBytes);
}

}  // namespace

void Sha1Digest(std::string_view bytes, unsigned char digest[20], bool use_hardware) {
  std::uint32_t state[5] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476, 0xc3d2e1f0};
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t blocks = bytes.size() / 64;
  if (!use_hardware || !platform::Sha1BlocksInHardware(state, data, blocks)) {
    for (std::size_t i = 0; i < blocks; ++i) Sha1Block(state, data + 64 * i);
  }
  // The last partial block, the 0x80 marker and the length in bits.
  unsigned char tail[128] = {};
  const std::size_t whole = blocks * 64;
  const std::size_t rest = bytes.size() - whole;
  if (rest > 0) std::memcpy(tail, data + whole, rest);
  tail[rest] = 0x80;
  const std::size_t tail_bytes = rest < 56 ? 64 : 128;
  const std::uint64_t bits = static_cast<std::uint64_t>(bytes.size()) * 8;
  for (int i = 0; i < 8; ++i) tail[tail_bytes - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
  for (std::size_t at = 0; at < tail_bytes; at += 64) Sha1Block(state, tail + at);
  for (int i = 0; i < 20; ++i) {
    digest[i] = static_cast<unsigned char>(state[i / 4] >> (24 - 8 * (i % 4)));
  }
}

std::string Sha1(std::string_view bytes) {
  unsigned char digest[20];
  Sha1Digest(bytes, digest);
  return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

bool ReadGitIndex(std::string_view bytes, const SharedIndexReader& read_shared,
                  GitIndexSink* sink, std::string* error) {
  IndexFileFacts facts;
  sink->Expect(StatedEntries(bytes));
  const bool read = ReadIndexFile(bytes, &facts, error,
                                  [sink](std::string_view path, bool sparse_folder, std::uint32_t) {
                                    sink->Add(path, sparse_folder);
                                  });
  if (!read) return false;
  if (facts.shared_hash.empty()) {
    if (facts.leading_nameless > 0 || facts.nameless_after_named) {
      *error = "an entry has no name";
      return false;
    }
    return true;
  }
  // A split index: its named entries are in; now the shared entries it
  // neither deletes nor replaces (a replaced one keeps the shared name).
  std::string hex;
  AppendHex(&hex, facts.shared_hash);
  std::string_view shared_bytes;
  if (!read_shared || !read_shared(hex, &shared_bytes, error)) {
    if (!read_shared) *error = "its shared index can't be read here";
    return false;
  }
  if (shared_bytes.size() < kHashBytes ||
      shared_bytes.substr(shared_bytes.size() - kHashBytes) != facts.shared_hash) {
    *error = "its shared index is not the one it names";
    return false;
  }
  // The bitmaps are judged against the shared entries once those are read;
  // until then the count in its header (bounded by its size) sizes them.
  const std::size_t stated = StatedEntries(shared_bytes);
  std::vector<bool> keep(stated, true);
  bool deleted_ok = ForEachBit(facts.deleted, stated, [&](std::uint64_t position) {
    keep[static_cast<std::size_t>(position)] = false;  // below stated
    return true;
  });
  IndexFileFacts shared;
  sink->Expect(stated);
  const bool shared_read = ReadIndexFile(shared_bytes, &shared, error,
      [&](std::string_view path, bool sparse_folder, std::uint32_t position) {
        if (position < keep.size() && keep[position]) sink->Add(path, sparse_folder);
      });
  if (!shared_read) {
    *error = "its shared index: " + *error;
    return false;
  }
  if (shared.split) {
    *error = "its shared index is itself split";
    return false;
  }
  std::uint64_t replacements = 0;
  const bool replaced_ok = ForEachBit(facts.replaced, shared.entries, [&](std::uint64_t) {
    return ++replacements <= facts.leading_nameless;
  });
  deleted_ok = deleted_ok && stated == shared.entries;
  if (!replaced_ok || !deleted_ok) {
    *error = "the bitmaps of its split index do not fit its shared index";
    return false;
  }
  if (facts.leading_nameless != replacements || facts.nameless_after_named) {
    *error = "an entry of its split index has no name";
    return false;
  }
  return true;
}

bool ParseGitIndex(std::string_view bytes, const SharedIndexReader& read_shared,
                   GitIndexContent* content, std::string* error) {
  *content = GitIndexContent();
  class ListSink final : public GitIndexSink {
   public:
    explicit ListSink(GitIndexContent* content, std::size_t bytes) : content_(content), bytes_(bytes) {}
    void Expect(std::size_t entries) override {
      content_->paths.Reserve(content_->paths.size() + entries, bytes_);
    }
    void Add(std::string_view path, bool sparse_folder) override {
      (sparse_folder ? content_->sparse_folders : content_->paths).Add(path);
    }

   private:
    GitIndexContent* content_;
    std::size_t bytes_;
  } sink(content, bytes.size());
  if (!ReadGitIndex(bytes, read_shared, &sink, error)) return false;
  content->paths.SortUnique();
  content->sparse_folders.SortUnique();
  DropNestedFolders(&content->sparse_folders);
  return true;
}

}  // namespace engine
