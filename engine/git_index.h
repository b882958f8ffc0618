// A reader of git's index file (the list of what a work tree tracks), from
// its bytes alone. It reads versions 2, 3 and 4, verifies the trailing SHA-1
// checksum (beside the reading, for a large file), and understands the two extensions that change which paths are
// tracked: "link" (a split index, whose entries are applied to a shared
// index) and "sdir" (a sparse index, whose folder entries stand for all
// that lies below them). Optional extensions (their signature starts with
// an uppercase letter) are skipped by their size; any other one, like an
// unknown version or a damaged file, makes the index unreadable, with the
// reason in words. Nothing in the bytes can make the reader look outside
// them or hold more than they take.
#ifndef BUILDSWEEP_ENGINE_GIT_INDEX_H_
#define BUILDSWEEP_ENGINE_GIT_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace engine {

/// Paths held back to back in one buffer: a hundred thousand of them cost
/// their bytes and eight more each, not an allocation each.
class PathList {
 public:
  /// Appends `path`.
  void Add(std::string_view path);
  /// Makes room for `paths` paths of `bytes` bytes in all.
  void Reserve(std::size_t paths, std::size_t bytes);
  /// How many paths the list holds.
  std::size_t size() const { return spans_.size(); }
  /// Whether the list holds none.
  bool empty() const { return spans_.empty(); }
  /// The path at `index`.
  std::string_view operator[](std::size_t index) const {
    return std::string_view(bytes_.data() + spans_[index].offset, spans_[index].size);
  }
  /// Sorts the paths by their bytes and drops repeated ones.
  void SortUnique();
  /// Whether `path` is in a list sorted by SortUnique (binary search).
  bool ContainsSorted(std::string_view path) const;
  /// The bytes of all paths together, for bounding memory.
  std::size_t byte_size() const { return bytes_.size(); }

 private:
  struct Span {
    std::uint32_t offset;
    std::uint32_t size;
  };
  std::string bytes_;
  std::vector<Span> spans_;
};

/// What an index file says is tracked.
struct GitIndexContent {
  /// Every path the index holds an entry for (files, links and gitlinks,
  /// at any stage, intent-to-add and skip-worktree ones included), as git
  /// stores them: UTF-8, `/` between folders, relative to the work tree.
  /// Sorted by SortUnique once the index is read.
  PathList paths;
  /// The folder entries of a sparse index, each ending in `/`: everything
  /// below one is tracked. Sorted by SortUnique, none inside another.
  PathList sparse_folders;
};

/// Finds the shared index a split index names by its SHA-1 (40 lowercase
/// hex digits; the file is `sharedindex.<hex>` next to the index) and points
/// `bytes` at its content, which must stay there until the index is read.
/// False, with the reason in `error`, when it can't be read.
using SharedIndexReader =
    std::function<bool(std::string_view hex_name, std::string_view* bytes, std::string* error)>;

/// The most bytes an index file may have; larger ones are not read.
constexpr std::size_t kMostGitIndexBytes = std::size_t{1} << 30;

/// What ReadGitIndex hands the paths of an index to, as it reads them.
class GitIndexSink {
 public:
  /// About how many paths are to follow (an index file's entry count),
  /// before them; at most one for every 62 bytes of the file.
  virtual void Expect(std::size_t paths) = 0;
  /// A path the index tracks, as git stores it (see GitIndexContent);
  /// `sparse_folder` for a sparse index's folder entry, ending in `/`.
  /// The view lasts only for the call.
  virtual void Add(std::string_view path, bool sparse_folder) = 0;

 protected:
  ~GitIndexSink() = default;
};

/// Reads the index file `bytes` and hands `sink` every path it tracks, in
/// the index's order, none held on the way: a split index's own named
/// entries, then the entries of its shared index (read through
/// `read_shared`) that it neither deletes nor replaces. A path may come
/// more than once (at each stage of a conflict). The checksum of a large
/// file is verified on a second thread while its entries are read, so
/// `sink` may have been handed paths of an index that turns out damaged:
/// what it gathered counts only when this returns true. False, with the
/// reason in `error` (one phrase, no path), when either file is damaged,
/// truncated, of an unknown version, or needs an extension this reader
/// does not know, or the shared index is not the one named.
bool ReadGitIndex(std::string_view bytes, const SharedIndexReader& read_shared,
                  GitIndexSink* sink, std::string* error);

/// Reads the index file `bytes` into `content`, as ReadGitIndex reads it;
/// false, with the reason in `error`, when ReadGitIndex is.
bool ParseGitIndex(std::string_view bytes, const SharedIndexReader& read_shared,
                   GitIndexContent* content, std::string* error);

/// The SHA-1 of `bytes` into `digest`, for the index's checksum; on the
/// processor's SHA instructions where it has them and `use_hardware`.
void Sha1Digest(std::string_view bytes, unsigned char digest[20], bool use_hardware = true);

/// The SHA-1 of `bytes`, 20 bytes.
std::string Sha1(std::string_view bytes);

}  // namespace engine

#endif  // BUILDSWEEP_ENGINE_GIT_INDEX_H_
