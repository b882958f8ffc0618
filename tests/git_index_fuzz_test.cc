// Random index files through the git index reader: indexes it must read
// back exactly (every version, long names, sparse folders, split indexes),
// and damaged ones it must refuse with a reason or read without looking
// past their end. The same ones every run, so a failure can be repeated.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/git_index.h"
#include "engine/git_work_tree.h"
#include "tests/support/git_index_writer.h"

namespace testsupport {
namespace {

// Paths from few letters, so that prefixes repeat (v4 compresses them)
// and names collide; now and then one longer than the flags can hold.
std::string RandomPath(std::mt19937& random) {
  static const char kLetters[] = "ab/A.\xc3\xa9";
  std::uniform_int_distribution<int> length(1, 12), letter(0, sizeof kLetters - 2), rare(0, 40);
  std::string path(static_cast<std::size_t>(length(random)), 'a');
  for (char& c : path) c = kLetters[letter(random)];
  if (rare(random) == 0) path.append(4100, 'x');
  return path;
}

std::vector<IndexEntry> RandomEntries(std::mt19937& random, std::uint32_t version,
                                      std::set<std::string>* files, std::set<std::string>* folders) {
  std::uniform_int_distribution<int> count(0, 40), kind(0, 9);
  std::vector<IndexEntry> entries(static_cast<std::size_t>(count(random)));
  for (IndexEntry& entry : entries) {
    entry.path = RandomPath(random);
    const int k = kind(random);
    if (k == 0) {
      entry.path += '/';
      entry.mode = 040000;
      folders->insert(entry.path);
    } else {
      if (k == 1) entry.mode = 0160000;  // a gitlink
      if (k == 2) entry.mode = 0120000;  // a link
      files->insert(entry.path);
    }
    if (version >= 3 && k >= 8) entry.extended_flags = k == 8 ? 0x4000 : 0x2000;
  }
  std::sort(entries.begin(), entries.end(),
            [](const IndexEntry& a, const IndexEntry& b) { return a.path < b.path; });
  if (kind(random) == 0) std::shuffle(entries.begin(), entries.end(), random);
  return entries;
}

std::vector<std::string> Listed(const engine::PathList& list) {
  std::vector<std::string> paths;
  for (std::size_t i = 0; i < list.size(); ++i) paths.emplace_back(list[i]);
  return paths;
}

// The outermost of `folders`, as the reader keeps them.
std::vector<std::string> Outermost(const std::set<std::string>& folders) {
  std::vector<std::string> kept;
  for (const std::string& folder : folders) {
    if (kept.empty() || folder.compare(0, kept.back().size(), kept.back()) != 0) kept.push_back(folder);
  }
  return kept;
}

const engine::SharedIndexReader kNoSharedIndex;

TEST(GitIndexFuzzTest, RandomIndexesOfEveryVersionReadBackExactly) {
  std::mt19937 random(20261209);
  for (int round = 0; round < 3000; ++round) {
    const std::uint32_t version = 2 + static_cast<std::uint32_t>(round % 3);
    std::set<std::string> files, folders;
    const std::vector<IndexEntry> entries = RandomEntries(random, version, &files, &folders);
    // An optional extension is skipped whatever it holds.
    const std::string extensions =
        round % 2 ? IndexExtension("TREE", std::string(static_cast<std::size_t>(round % 50), 'z')) : "";
    engine::GitIndexContent content;
    std::string error;
    ASSERT_TRUE(engine::ParseGitIndex(WriteIndex(version, entries, extensions), kNoSharedIndex,
                                      &content, &error))
        << error;
    ASSERT_EQ(Listed(content.paths), std::vector<std::string>(files.begin(), files.end()));
    ASSERT_EQ(Listed(content.sparse_folders), Outermost(folders));
    for (const std::string& file : files) ASSERT_TRUE(content.paths.ContainsSorted(file));
  }
}

TEST(GitIndexFuzzTest, SplitIndexesApplyTheirBitmapsToTheSharedEntries) {
  std::mt19937 random(7);
  for (int round = 0; round < 1000; ++round) {
    const std::uint32_t version = 2 + static_cast<std::uint32_t>(round % 3);
    std::set<std::string> shared_files, ignored;
    std::vector<IndexEntry> shared = RandomEntries(random, version, &shared_files, &ignored);
    shared.erase(std::remove_if(shared.begin(), shared.end(),
                                [](const IndexEntry& e) { return e.mode == 040000; }),
                 shared.end());
    const std::string shared_bytes = WriteIndex(version, shared);
    // Each shared entry is kept, deleted or replaced (by a nameless entry).
    std::vector<std::uint32_t> deleted, replaced;
    std::set<std::string> expected;
    std::vector<IndexEntry> split;
    std::uniform_int_distribution<int> fate(0, 2);
    for (std::uint32_t i = 0; i < shared.size(); ++i) {
      const int f = fate(random);
      if (f == 1) {
        deleted.push_back(i);
        continue;
      }
      expected.insert(shared[i].path);
      if (f == 2) {
        replaced.push_back(i);
        split.push_back(IndexEntry{"", shared[i].mode, 0});
      }
    }
    std::set<std::string> added, added_folders;
    for (IndexEntry& entry : RandomEntries(random, version, &added, &added_folders)) {
      if (entry.mode != 040000) split.push_back(entry);
    }
    expected.insert(added.begin(), added.end());
    const std::string link = IndexExtension(
        "link", shared_bytes.substr(shared_bytes.size() - 20) + EwahBitmap(deleted) + EwahBitmap(replaced));
    const std::string split_bytes = WriteIndex(version, split, link);
    std::string asked;
    const engine::SharedIndexReader read_shared = [&](std::string_view hex, std::string_view* bytes,
                                                      std::string*) {
      asked = std::string(hex);
      *bytes = shared_bytes;
      return true;
    };
    engine::GitIndexContent content;
    std::string error;
    ASSERT_TRUE(engine::ParseGitIndex(split_bytes, read_shared, &content, &error)) << error;
    ASSERT_EQ(Listed(content.paths), std::vector<std::string>(expected.begin(), expected.end()));
    ASSERT_EQ(asked.size(), 40u);
    // A shared index other than the one named is refused.
    const std::string other_bytes = WriteIndex(version, {IndexEntry{"other"}});
    const engine::SharedIndexReader other = [&](std::string_view, std::string_view* bytes,
                                                std::string*) {
      *bytes = other_bytes;
      return true;
    };
    ASSERT_FALSE(engine::ParseGitIndex(split_bytes, other, &content, &error));
    ASSERT_EQ(error, "its shared index is not the one it names");
  }
}

TEST(GitIndexFuzzTest, DamagedIndexesAreRefusedWithAReasonOrReadWithinTheirBytes) {
  std::mt19937 random(99);
  std::uniform_int_distribution<int> byte(0, 255), mutation(0, 4), coin(0, 1);
  for (int round = 0; round < 20000; ++round) {
    const std::uint32_t version = 2 + static_cast<std::uint32_t>(round % 3);
    std::set<std::string> files, folders;
    std::string bytes = WriteIndex(version, RandomEntries(random, version, &files, &folders),
                                   round % 3 ? "" : IndexExtension("link", std::string(20, '\0')));
    for (int changes = 1 + round % 3; changes > 0; --changes) {
      std::uniform_int_distribution<std::size_t> at(0, bytes.size() - 1);
      switch (mutation(random)) {
        case 0: bytes[at(random)] = static_cast<char>(byte(random)); break;
        case 1: bytes.resize(at(random)); break;
        case 2: bytes.insert(at(random), std::string(1 + round % 9, static_cast<char>(byte(random)))); break;
        case 3: bytes.erase(at(random), 1 + round % 9); break;
        default: if (bytes.size() > 12) bytes[8 + round % 4] = static_cast<char>(byte(random)); break;
      }
      if (bytes.empty()) bytes = "D";
    }
    // Most damage is caught by the checksum: recompute it half the time,
    // so the damage reaches the parsing itself.
    if (coin(random)) bytes = WithChecksum(bytes);
    engine::GitIndexContent content;
    std::string error;
    if (engine::ParseGitIndex(bytes, kNoSharedIndex, &content, &error)) {
      // A version 4 name starts with part of the one before: there each
      // name, not all of them together, lies within the bytes.
      if (bytes[7] != 4) {
        ASSERT_LE(content.paths.byte_size() + content.sparse_folders.byte_size(), bytes.size());
      }
      for (std::size_t i = 0; i < content.paths.size(); ++i) {
        ASSERT_LE(content.paths[i].size(), bytes.size());
        if (i > 0) {
          ASSERT_LT(content.paths[i - 1], content.paths[i]);
        }
      }
    } else {
      ASSERT_FALSE(error.empty());
    }
  }
}

// One TrackedFiles, made once, asked by several threads at once (run under
// ThreadSanitizer by the test script), exactly and ignoring case.
TEST(GitIndexFuzzTest, TrackedFilesAnswerManyThreadsAtOnceAlike) {
  std::mt19937 random(3);
  std::set<std::string> files, folders;
  std::vector<IndexEntry> entries;
  for (int i = 0; i < 30; ++i) {
    for (IndexEntry& entry : RandomEntries(random, 3, &files, &folders)) entries.push_back(entry);
  }
  std::sort(entries.begin(), entries.end(),
            [](const IndexEntry& a, const IndexEntry& b) { return a.path < b.path; });
  for (const bool ignore_case : {false, true}) {
    engine::GitIndexContent content;
    std::string error;
    ASSERT_TRUE(engine::ParseGitIndex(WriteIndex(3, entries), kNoSharedIndex, &content, &error));
    const std::shared_ptr<const engine::TrackedFiles> tracked =
        engine::TrackedFiles::FromIndex(std::move(content), ignore_case);
    // The questions and the answers a plain search of the sets gives.
    std::vector<std::pair<std::string, bool>> questions;
    const auto fold = [&](std::string text) {
      if (ignore_case) {
        for (char& c : text) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
      }
      return text;
    };
    std::set<std::string> folded_files, folded_folders;
    for (const std::string& file : files) folded_files.insert(fold(file));
    for (const std::string& folder : folders) folded_folders.insert(fold(folder));
    for (int i = 0; i < 2000; ++i) {
      const std::string path = RandomPath(random) + (i % 2 ? "" : "/" + RandomPath(random));
      bool expected = folded_files.count(fold(path)) > 0;
      for (std::size_t slash = path.find('/'); slash != std::string::npos && !expected;
           slash = path.find('/', slash + 1)) {
        expected = folded_folders.count(fold(path.substr(0, slash + 1))) > 0;
      }
      questions.emplace_back(path, expected);
    }
    for (const std::string& file : files) questions.emplace_back(file, true);
    std::vector<int> wrong(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        for (const auto& [path, expected] : questions) {
          const bool known = tracked->Tracks(path) || !tracked->SparseFolderOf(path).empty();
          wrong[t] += known != expected;
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0)) << ignore_case;
  }
}

// Both ways of hashing: the processor's instructions (where it has them)
// and the portable code, on known digests and on each other's results.
TEST(GitIndexFuzzTest, Sha1MatchesKnownDigests) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",  // 56 bytes: two tail blocks
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
       "a49b2446a02c645bf419f995b67091253a04a259"},
      {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
  };
  const auto hex = [](const unsigned char* digest) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < 20; ++i) {
      text += kDigits[digest[i] >> 4];
      text += kDigits[digest[i] & 15];
    }
    return text;
  };
  unsigned char fast[20], portable[20];
  for (const auto& [text, digest] : cases) {
    engine::Sha1Digest(text, fast);
    engine::Sha1Digest(text, portable, false);
    EXPECT_EQ(hex(fast), digest) << text.size();
    EXPECT_EQ(hex(portable), digest) << text.size();
  }
  std::mt19937 random(1);
  std::string bytes;
  for (int length = 0; length < 700; ++length) {
    engine::Sha1Digest(bytes, fast);
    engine::Sha1Digest(bytes, portable, false);
    ASSERT_EQ(hex(fast), hex(portable)) << length;
    bytes.push_back(static_cast<char>(random()));
  }
}

// An index large enough to have its checksum verified on a second thread
// while its entries are read: read back whole, and refused when damaged
// wherever the damage lies, before its entries or among them.
TEST(GitIndexFuzzTest, LargeIndexesAreCheckedBesideTheReading) {
  std::vector<IndexEntry> entries;
  std::set<std::string> files;
  for (int i = 0; i < 4000; ++i) {
    entries.push_back(IndexEntry{"folder" + std::to_string(i % 40) + "/file" + std::to_string(i) +
                                 std::string(static_cast<std::size_t>(i % 90), 'x') + ".obj"});
    files.insert(entries.back().path);
  }
  std::sort(entries.begin(), entries.end(),
            [](const IndexEntry& a, const IndexEntry& b) { return a.path < b.path; });
  for (const std::uint32_t version : {2u, 4u}) {
    const std::string good = WriteIndex(version, entries);
    ASSERT_GE(good.size(), std::size_t{1} << 18);
    engine::GitIndexContent content;
    std::string error;
    ASSERT_TRUE(engine::ParseGitIndex(good, kNoSharedIndex, &content, &error)) << error;
    EXPECT_EQ(Listed(content.paths), std::vector<std::string>(files.begin(), files.end()));
    for (const std::size_t at : {std::size_t{5}, std::size_t{100}, good.size() / 2, good.size() - 30}) {
      std::string damaged = good;
      damaged[at] = static_cast<char>(damaged[at] ^ 0x01);
      EXPECT_FALSE(engine::ParseGitIndex(damaged, kNoSharedIndex, &content, &error)) << at;
      EXPECT_EQ(error, at == 5 ? "it is of version " + std::to_string(version ^ 0x10000) +
                                     ", which this program does not know"
                               : "its checksum does not match; it is damaged")
          << at;
    }
  }
}

// Case-blind sets fold A-Z alone: every byte, at every place in a word.
TEST(GitIndexFuzzTest, CaseBlindSetsFoldAsciiLettersAlone) {
  const auto path = [](int place, char prefix, int byte, int number) {
    return std::string(static_cast<std::size_t>(place), prefix) + static_cast<char>(byte) + "/" +
           std::to_string(number);
  };
  for (int place = 0; place < 9; ++place) {
    engine::PathSet set(true);
    for (int byte = 1; byte < 256; ++byte) set.Add(path(place, 'q', byte, byte));
    EXPECT_EQ(set.size(), 255u);
    for (int byte = 1; byte < 256; ++byte) {
      const bool letter = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z');
      EXPECT_TRUE(set.Contains(path(place, 'Q', byte, byte))) << place << " " << byte;
      // Its other case stands for it only if it is a letter: '@' and '`',
      // '[' and '{', 0xc1 and 0xe1 stay apart.
      EXPECT_EQ(set.Contains(path(place, 'q', byte ^ 0x20, byte)), letter) << place << " " << byte;
    }
  }
}

}  // namespace
}  // namespace testsupport
