#include "engine/folder_list.h"

#include <algorithm>
#include <cstring>

namespace engine {
namespace {

constexpr std::size_t kBlockSize = std::size_t{64} * 1024;

// Record flags.
constexpr std::uint64_t kNewDevice = 1;    // a device number follows
constexpr std::uint64_t kHasListing = 2;   // a target list follows
constexpr std::uint64_t kReliableStamp = 4;
constexpr std::uint64_t kIdentityKnown = 8;
constexpr std::uint64_t kUnreadable = 16;  // the reason follows

}  // namespace

// A block knows the next one, so a reader never needs the writer's
// bookkeeping: `next` is set before any record that reaches into it counts.
struct FolderList::Block {
  Block* next = nullptr;
  char bytes[kBlockSize];
};

FolderList::FolderList() = default;
FolderList::~FolderList() { Clear(); }

void FolderList::PutBytes(const char* data, std::size_t size) {
  while (size > 0) {
    if (last_ == nullptr || used_in_last_ == kBlockSize) {
      Block* block = new Block;
      (last_ == nullptr ? first_ : last_->next) = block;
      last_ = block;
      used_in_last_ = 0;
    }
    const std::size_t n = std::min(size, kBlockSize - used_in_last_);
    std::memcpy(last_->bytes + used_in_last_, data, n);
    used_in_last_ += n;
    data += n;
    size -= n;
  }
}

void FolderList::PutVarint(std::uint64_t value) {
  char bytes[10];
  std::size_t n = 0;
  while (value >= 0x80) {
    bytes[n++] = static_cast<char>((value & 0x7f) | 0x80);
    value >>= 7;
  }
  bytes[n++] = static_cast<char>(value);
  PutBytes(bytes, n);
}

void FolderList::Append(const CollectedFolder& folder) {
  PutVarint(folder.depth);
  PutVarint(folder.name.size());
  PutBytes(folder.name.data(), folder.name.size());
  const bool new_device = folder.info.id.device != last_device_;
  PutVarint((new_device ? kNewDevice : 0) | (folder.has_listing ? kHasListing : 0) |
            (folder.info.stamp_is_reliable ? kReliableStamp : 0) |
            (folder.identity_known ? kIdentityKnown : 0) |
            (folder.unreadable_reason.empty() ? 0 : kUnreadable));
  if (new_device) PutVarint(folder.info.id.device);
  if (!folder.unreadable_reason.empty()) {
    PutVarint(folder.unreadable_reason.size());
    PutBytes(folder.unreadable_reason.data(), folder.unreadable_reason.size());
  }
  last_device_ = folder.info.id.device;
  PutVarint(folder.info.id.inode);
  const auto stamp = static_cast<std::uint64_t>(folder.info.change_stamp);
  char stamp_bytes[8];
  for (int i = 0; i < 8; ++i) stamp_bytes[i] = static_cast<char>(stamp >> (8 * i));
  PutBytes(stamp_bytes, sizeof stamp_bytes);
  if (folder.has_listing) {
    PutVarint(folder.targets.entries.size());
    for (const platform::Entry& target : folder.targets.entries) {
      const bool is_link = target.kind == platform::EntryKind::kLink;
      PutVarint((static_cast<std::uint64_t>(target.name_size) << 1) | (is_link ? 1 : 0));
      PutBytes(folder.targets.names.data() + target.name_offset, target.name_size);
    }
  }
  // The record is whole: readers may have it.
  const std::size_t count = count_.load(std::memory_order_relaxed) + 1;
  count_.store(count, std::memory_order_release);
  if (listener_ != nullptr) listener_->Appended(count);
}

void FolderList::Clear() {
  while (first_ != nullptr) {
    Block* next = first_->next;
    delete first_;
    first_ = next;
  }
  last_ = nullptr;
  used_in_last_ = 0;
  count_.store(0, std::memory_order_relaxed);
  last_device_ = 0;
}

FolderList::Reader::Reader(const FolderList& list) : list_(list), offset_(kBlockSize) {}

void FolderList::Reader::NextBlockIfAtEnd() {
  if (offset_ != kBlockSize) return;
  // The first block is looked up only once there is a record to read, so a
  // reader made before the writer started still finds it.
  block_ = block_ == nullptr ? list_.first_ : block_->next;
  offset_ = 0;
}

char FolderList::Reader::ReadByte() {
  NextBlockIfAtEnd();
  return block_->bytes[offset_++];
}

void FolderList::Reader::ReadBytes(char* out, std::size_t size) {
  while (size > 0) {
    NextBlockIfAtEnd();
    const std::size_t n = std::min(size, kBlockSize - offset_);
    std::memcpy(out, block_->bytes + offset_, n);
    offset_ += n;
    out += n;
    size -= n;
  }
}

void FolderList::Reader::SkipBytes(std::size_t size) {
  while (size > 0) {
    NextBlockIfAtEnd();
    const std::size_t n = std::min(size, kBlockSize - offset_);
    offset_ += n;
    size -= n;
  }
}

void FolderList::Reader::ReadInto(std::string* out, std::size_t size) {
  const std::size_t start = out->size();
  out->resize(start + size);
  ReadBytes(&(*out)[start], size);
}

std::uint64_t FolderList::Reader::ReadVarint() {
  std::uint64_t value = 0;
  for (int shift = 0;; shift += 7) {
    const auto byte = static_cast<unsigned char>(ReadByte());
    value |= static_cast<std::uint64_t>(byte & 0x7f) << shift;
    if (byte < 0x80) return value;
  }
}

std::size_t FolderList::Reader::ReadSize() {
  // Written from a std::size_t of this same program, so it fits one again
  // even where size_t is 32 bits wide.
  return static_cast<std::size_t>(ReadVarint());
}

bool FolderList::Reader::Next(CollectedFolder* folder) { return ReadFolder(folder, true); }

bool FolderList::Reader::Skip(CollectedFolder* folder) { return ReadFolder(folder, false); }

bool FolderList::Reader::ReadFolder(CollectedFolder* folder, bool with_targets) {
  if (read_ == list_.size()) return false;
  ++read_;
  folder->depth = ReadSize();
  folder->name.clear();
  ReadInto(&folder->name, ReadSize());
  const std::uint64_t flags = ReadVarint();
  if (flags & kNewDevice) device_ = ReadVarint();
  folder->unreadable_reason.clear();
  if (flags & kUnreadable) ReadInto(&folder->unreadable_reason, ReadSize());
  folder->info.id.device = device_;
  folder->info.id.inode = ReadVarint();
  char stamp_bytes[8];
  ReadBytes(stamp_bytes, sizeof stamp_bytes);
  std::uint64_t stamp = 0;
  for (int i = 0; i < 8; ++i) stamp |= static_cast<std::uint64_t>(static_cast<unsigned char>(stamp_bytes[i])) << (8 * i);
  folder->info.change_stamp = static_cast<std::int64_t>(stamp);
  folder->info.stamp_is_reliable = (flags & kReliableStamp) != 0;
  folder->has_listing = (flags & kHasListing) != 0;
  folder->identity_known = (flags & kIdentityKnown) != 0;
  folder->targets.Clear();
  if (folder->has_listing) {
    const std::uint64_t count = ReadVarint();
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint64_t size_and_link = ReadVarint();
      const auto offset = static_cast<std::uint32_t>(folder->targets.names.size());
      const auto size = static_cast<std::uint32_t>(size_and_link >> 1);
      if (!with_targets) {
        SkipBytes(size);
        continue;
      }
      ReadInto(&folder->targets.names, size);
      folder->targets.entries.push_back(
          {offset, size, (size_and_link & 1) ? platform::EntryKind::kLink : platform::EntryKind::kFile});
    }
  }
  return true;
}

}  // namespace engine
