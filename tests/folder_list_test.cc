#include "engine/folder_list.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace engine {
namespace {

void AddTarget(CollectedFolder* folder, const std::string& name, platform::EntryKind kind) {
  folder->targets.Add(name, kind);
}

CollectedFolder Folder(std::size_t depth, std::string name, std::uint64_t device,
                       std::uint64_t inode) {
  CollectedFolder folder;
  folder.depth = depth;
  folder.name = std::move(name);
  folder.info.id = {device, inode};
  folder.identity_known = true;
  return folder;
}

void ExpectSame(const CollectedFolder& expected, const CollectedFolder& actual, std::size_t index) {
  SCOPED_TRACE("folder #" + std::to_string(index));
  EXPECT_EQ(actual.depth, expected.depth);
  EXPECT_EQ(actual.name, expected.name);
  EXPECT_EQ(actual.info.id.device, expected.info.id.device);
  EXPECT_EQ(actual.info.id.inode, expected.info.id.inode);
  EXPECT_EQ(actual.info.change_stamp, expected.info.change_stamp);
  EXPECT_EQ(actual.info.stamp_is_reliable, expected.info.stamp_is_reliable);
  EXPECT_EQ(actual.identity_known, expected.identity_known);
  ASSERT_EQ(actual.has_listing, expected.has_listing);
  if (!expected.has_listing) return;
  ASSERT_EQ(actual.targets.entries.size(), expected.targets.entries.size());
  for (std::size_t i = 0; i < expected.targets.entries.size(); ++i) {
    EXPECT_EQ(actual.targets.NameOf(actual.targets.entries[i]),
              expected.targets.NameOf(expected.targets.entries[i]));
    EXPECT_EQ(actual.targets.entries[i].kind, expected.targets.entries[i].kind);
  }
}

void ExpectRoundTrip(const FolderList& list, const std::vector<CollectedFolder>& expected) {
  ASSERT_EQ(list.size(), expected.size());
  FolderList::Reader reader(list);
  CollectedFolder actual;  // reused, as the driver does: nothing may leak between records
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ASSERT_TRUE(reader.Next(&actual));
    ExpectSame(expected[i], actual, i);
  }
  EXPECT_FALSE(reader.Next(&actual));
}

TEST(FolderListTest, KeepsEveryFieldOfOddRecords) {
  std::vector<CollectedFolder> folders;
  CollectedFolder any_bytes = Folder(1, std::string("a\0b\n\xff\x80 \xed\x95\x9c", 10), 7, 1);
  any_bytes.info.change_stamp = -5;  // before 1970: the stamp is signed
  any_bytes.info.stamp_is_reliable = true;
  any_bytes.has_listing = true;
  AddTarget(&any_bytes, std::string("x\0.obj", 6), platform::EntryKind::kFile);
  AddTarget(&any_bytes, "dangling.tmp", platform::EntryKind::kLink);
  folders.push_back(any_bytes);
  CollectedFolder empty_listing = Folder(2, "", 7, std::numeric_limits<std::uint64_t>::max());
  empty_listing.has_listing = true;  // listed and found nothing: not the same as unlisted
  folders.push_back(empty_listing);
  CollectedFolder unreachable = Folder(3, "locked", 0, 0);
  unreachable.identity_known = false;
  folders.push_back(unreachable);
  // Device changes, a return to an earlier device and the largest values.
  folders.push_back(Folder(1, "mnt", std::numeric_limits<std::uint64_t>::max(), 2));
  folders.push_back(Folder(2, "back", 7, 3));
  folders.push_back(Folder(2, "same", 7, 4));
  FolderList list;
  for (const CollectedFolder& folder : folders) list.Append(folder);
  ExpectRoundTrip(list, folders);
}

TEST(FolderListTest, RecordsLargerThanABlockAndRecordsAcrossBlockEdgesSurvive) {
  std::vector<CollectedFolder> folders;
  CollectedFolder huge = Folder(1, std::string(100 * 1024, 'n'), 1, 1);
  huge.has_listing = true;
  for (int i = 0; i < 2000; ++i) {
    AddTarget(&huge, std::string(60, static_cast<char>('a' + i % 26)) + ".obj",
              platform::EntryKind::kFile);
  }
  folders.push_back(huge);
  // Records of varying sizes, so that lengths, varints and stamps land on
  // every offset around the block boundaries.
  for (std::size_t i = 0; i < 5000; ++i) {
    CollectedFolder folder =
        Folder(1 + i % 4, std::string(i * 37 % 301, 'x'), 1 + i / 1000, i << 20);
    folder.info.change_stamp = static_cast<std::int64_t>(i * 0x123456789ull);
    folder.has_listing = i % 2 == 0;
    if (folder.has_listing) {
      AddTarget(&folder, std::to_string(i) + ".log", platform::EntryKind::kFile);
    }
    folders.push_back(folder);
  }
  FolderList list;
  for (const CollectedFolder& folder : folders) list.Append(folder);
  ExpectRoundTrip(list, folders);
}

TEST(FolderListTest, ClearedListStartsAfresh) {
  FolderList list;
  list.Append(Folder(1, "old", 42, 1));
  list.Clear();
  EXPECT_EQ(list.size(), 0u);
  CollectedFolder ignored;
  EXPECT_FALSE(FolderList::Reader(list).Next(&ignored));
  // The same device as before the clear must still be recorded in full.
  const std::vector<CollectedFolder> folders = {Folder(1, "new", 42, 9)};
  list.Append(folders[0]);
  ExpectRoundTrip(list, folders);
}

}  // namespace
}  // namespace engine
