// The folders collected below the root, in the order they are cleaned.
//
// A run may collect millions of folders, so the list does not keep a path
// string per folder. It keeps a compact byte stream, one record per folder in
// depth-first pre-order: the folder's depth and bare name (the full path is
// rebuilt while reading in order), its identity and change stamp, and the
// by-product names collection saw in it. Blocks are fixed-size, so growing the
// list never copies it.
//
// One thread may append while others read: a folder becomes visible to
// readers once its record is whole (size() counts it), and readers follow
// the chain of blocks without touching what the writer changes.
#ifndef BUILDSWEEP_ENGINE_FOLDER_LIST_H_
#define BUILDSWEEP_ENGINE_FOLDER_LIST_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"

namespace engine {

/// One collected folder, as collection saw it.
struct CollectedFolder {
  /// 0 for the root, 1 for a folder directly below it, and so on.
  std::size_t depth = 0;
  /// The bare name (empty for the root).
  std::string name;
  /// Identity and change stamp when collected.
  platform::FolderInfo info;
  /// False when the folder could not be opened when collected; it can then
  /// never be verified, so it is never cleaned.
  bool identity_known = false;
  /// Whether `targets` holds the folder's by-products as collection listed
  /// them; false when the listing may not be reused and must be read again.
  bool has_listing = false;
  /// The listed by-products (files and links), sorted by name.
  platform::EntryList targets;
  /// Why the folder could not be opened or listed when collected; empty when
  /// it could, or when it had merely gone away, which is no failure.
  std::string unreadable_reason;
};

/// The folders below the root in depth-first pre-order.
class FolderList {
  struct Block;

 public:
  FolderList();
  ~FolderList();
  FolderList(const FolderList&) = delete;
  FolderList& operator=(const FolderList&) = delete;

  /// Told of every folder appended, by the appending thread.
  class Listener {
   public:
    virtual ~Listener() = default;
    /// The list now holds `count` folders, all of them readable.
    virtual void Appended(std::size_t count) = 0;
  };

  /// Appends `folder` at the end. Its depth is at most one more than the
  /// depth of the folder appended before it (or 1 for the first).
  void Append(const CollectedFolder& folder);
  /// The number of folders; from any thread, all of them readable.
  std::size_t size() const { return count_.load(std::memory_order_acquire); }
  /// Tells `listener` (or no one, when null) of every later append.
  void set_listener(Listener* listener) { listener_ = listener; }
  /// Removes every folder and releases the memory.
  void Clear();

  /// Reads the folders front to back.
  class Reader {
   public:
    /// Starts before the first folder of `list`.
    explicit Reader(const FolderList& list);
    /// Reads the next folder into `folder`; false after the last one
    /// appended so far.
    bool Next(CollectedFolder* folder);
    /// Reads the next folder like Next, but not its by-products: `folder`
    /// gets its depth, name and identity only.
    bool Skip(CollectedFolder* folder);

   private:
    bool ReadFolder(CollectedFolder* folder, bool with_targets);
    std::uint64_t ReadVarint();
    std::size_t ReadSize();
    void ReadBytes(char* out, std::size_t size);
    void SkipBytes(std::size_t size);
    void ReadInto(std::string* out, std::size_t size);
    char ReadByte();
    void NextBlockIfAtEnd();

    const FolderList& list_;
    const Block* block_ = nullptr;  // null before the first byte
    std::size_t offset_;
    std::size_t read_ = 0;
    std::uint64_t device_ = 0;
  };

 private:
  void PutVarint(std::uint64_t value);
  void PutBytes(const char* data, std::size_t size);

  Block* first_ = nullptr;
  Block* last_ = nullptr;
  std::size_t used_in_last_ = 0;  // bytes used in last_
  std::atomic<std::size_t> count_{0};
  std::uint64_t last_device_ = 0;
  Listener* listener_ = nullptr;
};

}  // namespace engine

#endif  // BUILDSWEEP_ENGINE_FOLDER_LIST_H_
