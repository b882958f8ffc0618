#include "engine/folder_stack.h"
#include "engine/handle_budget.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fakes.h"
#include "tests/support/scratch_tree.h"

namespace engine {
namespace {

constexpr std::size_t kWindow = 4;
constexpr std::size_t kChainDepth = 30;

// How many descriptors below `below` the process has open.
std::size_t OpenDescriptors(int below = 4096) {
  std::size_t open = 0;
  for (int fd = 0; fd < below; ++fd) open += ::fcntl(fd, F_GETFD) != -1 ? 1 : 0;
  return open;
}

// Counts the climbs through "..", and can be told to answer them with the
// wrong folder, as a folder moved meanwhile would, or to give no folder an
// identity, as some file systems do. Notes the most folders held open when
// another is opened, and can refuse opens beyond a cap, as a process out of
// descriptors would.
class ParentFileSystem : public testsupport::DelegatingFileSystem {
 public:
  platform::OpenResult OpenChild(const platform::Dir& parent, std::string_view name,
                                 platform::Dir* dir, platform::FolderInfo* info,
                                 std::string* error) override {
    if (NoteHeld() >= cap) {
      *error = "Too many open files";
      return platform::OpenResult::kNoHandles;
    }
    const platform::OpenResult opened = real_.OpenChild(parent, name, dir, info, error);
    if (unknown_ids) info->id = platform::FolderId();
    return opened;
  }
  bool OpenParent(const platform::Dir& child, platform::Dir* dir,
                  platform::FolderInfo* info) override {
    ++parent_opens;
    NoteHeld();
    std::string error;
    const bool opened = lie ? OpenChild(child, ".", dir, info, &error) == platform::OpenResult::kOpened
                            : real_.OpenParent(child, dir, info);
    if (unknown_ids) info->id = platform::FolderId();
    return opened;
  }
  std::size_t NoteHeld() {
    const std::size_t held = OpenDescriptors() - baseline;
    most_held = std::max(most_held, held);
    return held;
  }
  int parent_opens = 0;
  bool lie = false;
  bool unknown_ids = false;
  std::size_t baseline = OpenDescriptors();
  std::size_t most_held = 0;
  std::size_t cap = static_cast<std::size_t>(-1);
};

// Level k of the chain is "d/d/.../d" (k times) and holds the marker "m<k>".
std::string LevelPath(std::size_t level) {
  std::string path = ".";
  for (std::size_t i = 0; i < level; ++i) path += "/d";
  return path;
}

class FolderStackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (std::size_t level = 0; level <= kChainDepth; ++level) {
      testsupport::MakeFile(LevelPath(level) + "/m" + std::to_string(level));
    }
    platform::FolderInfo info;
    std::string error;
    ASSERT_TRUE(stack_.OpenRoot(&info, &error)) << error;
  }

  // The marker in the top folder, which tells which level it really is.
  std::string TopMarker() {
    const platform::Dir* top = stack_.top();
    if (top == nullptr) return "lost";
    platform::EntryList entries;
    std::string error;
    if (!fs_.ListEntries(*top, &entries, &error)) return "unlisted";
    for (const platform::Entry& entry : entries.entries) {
      if (entries.NameOf(entry)[0] == 'm') return std::string(entries.NameOf(entry));
    }
    return "none";
  }

  void PushWholeChain() {
    platform::FolderInfo info;
    for (std::size_t level = 1; level <= kChainDepth; ++level) {
      std::string error;
      ASSERT_EQ(stack_.Push("d", &info, &error), platform::OpenResult::kOpened) << "level " << level;
      ASSERT_LE(stack_.open_levels(), kWindow + 1) << "level " << level;
    }
    ASSERT_EQ(TopMarker(), "m" + std::to_string(kChainDepth));
  }

  // Pops to `level` and checks that the top really is that level.
  void ExpectPopReaches(std::size_t level) {
    stack_.PopTo(level + 1);
    EXPECT_EQ(TopMarker(), "m" + std::to_string(level));
    EXPECT_LE(stack_.open_levels(), kWindow + 1);
  }

  testsupport::ScratchDir scratch_;
  ParentFileSystem fs_;
  FolderStack stack_{fs_, kWindow};
};

TEST_F(FolderStackTest, DeepChainKeepsOpenLevelsBoundedBothWays) {
  ASSERT_NO_FATAL_FAILURE(PushWholeChain());
  ExpectPopReaches(25);
  ExpectPopReaches(24);
  ExpectPopReaches(9);
  EXPECT_GT(fs_.parent_opens, 0) << "closed levels should be reopened through ..";
  // Climbing never held more than the root and the window at once.
  EXPECT_LE(fs_.most_held, kWindow + 1);
  // Going down again from a reopened level works as before.
  platform::FolderInfo info;
  std::string error;
  ASSERT_EQ(stack_.Push("d", &info, &error), platform::OpenResult::kOpened);
  EXPECT_EQ(TopMarker(), "m10");
  ExpectPopReaches(0);
}

TEST_F(FolderStackTest, OutOfDescriptorsTheWindowShrinksAndNoFolderIsMissed) {
  fs_.cap = 3;  // the root and two more
  ASSERT_NO_FATAL_FAILURE(PushWholeChain());
  EXPECT_EQ(stack_.window(), 1u);
  ExpectPopReaches(12);
  ExpectPopReaches(0);
}

TEST_F(FolderStackTest, WrongParentIsRejectedAndTheLevelReachedFromTheRoot) {
  ASSERT_NO_FATAL_FAILURE(PushWholeChain());
  fs_.lie = true;
  ExpectPopReaches(20);
  EXPECT_GT(fs_.parent_opens, 0);
  ExpectPopReaches(2);
}

TEST_F(FolderStackTest, WithoutIdsLevelsAreReachedByNameNeverThroughDotDot) {
  fs_.unknown_ids = true;
  ASSERT_NO_FATAL_FAILURE(PushWholeChain());
  fs_.lie = true;  // ".." can't be checked without ids, so must not be used
  ExpectPopReaches(20);
  ExpectPopReaches(2);
}

TEST_F(FolderStackTest, FolderReplacedMeanwhileIsLostNotMistaken) {
  ASSERT_NO_FATAL_FAILURE(PushWholeChain());
  // Level 10 is now a different folder with the same name and shape below.
  testsupport::Rename(LevelPath(10), "moved-away");
  for (std::size_t level = 10; level <= kChainDepth; ++level) {
    testsupport::MakeFile(LevelPath(level) + "/m" + std::to_string(level));
  }
  fs_.lie = true;  // and ".." can't be trusted either
  stack_.PopTo(21);
  EXPECT_EQ(stack_.top(), nullptr);
  platform::FolderInfo info;
  std::string error;
  EXPECT_EQ(stack_.Push("d", &info, &error), platform::OpenResult::kGone)
      << "nothing below a lost level may be opened";
  ExpectPopReaches(9);
}

// Moving onto a waiting folder whose handle is held (as a worker takes the
// next folder from the shared order) leaves the levels below it closed, so
// what the stack keeps open stays within its window however deep it goes on.
TEST_F(FolderStackTest, MovingOntoAHeldFolderKeepsOpenLevelsWithinTheWindow) {
  const std::size_t branch_level = kChainDepth - 2;
  testsupport::MakeFile(LevelPath(branch_level) + "/e/d/d/d/d/m-e");
  platform::Dir root_dir;
  platform::FolderInfo info;
  std::string error;
  ASSERT_TRUE(fs_.OpenCurrentDirectory(&root_dir, &info, &error)) << error;
  auto node = std::make_shared<FolderNode>();
  node->id = info.id;
  stack_.StartAt(std::make_shared<const platform::Dir>(std::move(root_dir)), info.id, node, ".");
  std::shared_ptr<const FolderNode> branch_parent;
  for (std::size_t level = 1; level <= kChainDepth; ++level) {
    ASSERT_EQ(stack_.Push("d", &info, &error), platform::OpenResult::kOpened) << level;
    auto child = std::make_shared<FolderNode>();
    child->parent = node;
    child->name = "d";
    child->id = info.id;
    child->depth = level;
    node = child;
    stack_.SetTopNode(node);
    if (level == branch_level) branch_parent = node;
  }
  // "e" waits beside the chain, its own handle held with it.
  platform::Dir branch_dir;
  ASSERT_EQ(fs_.OpenChild(*stack_.top(), "../../e", &branch_dir, &info, &error),
            platform::OpenResult::kOpened) << error;
  auto branch = std::make_shared<FolderNode>();
  branch->parent = branch_parent;
  branch->name = "e";
  branch->id = info.id;
  branch->depth = branch_level + 1;
  ASSERT_TRUE(
      stack_.MoveTo(branch, std::make_shared<const platform::Dir>(std::move(branch_dir)), &error))
      << error;
  fs_.baseline = OpenDescriptors() - stack_.open_levels();
  fs_.most_held = 0;
  for (int below = 1; below <= 4; ++below) {
    ASSERT_EQ(stack_.Push("d", &info, &error), platform::OpenResult::kOpened) << below;
    EXPECT_LE(stack_.open_levels(), kWindow + 1) << below;
    EXPECT_LE(OpenDescriptors() - fs_.baseline, kWindow + 1) << below;
  }
  EXPECT_EQ(TopMarker(), "m-e");
  // The levels left closed are reached again on the way back up.
  ExpectPopReaches(branch_level);
  ExpectPopReaches(3);
  EXPECT_LE(fs_.most_held, kWindow + 1);
}

// The handles of waiting folders the budget lets be held: taken until it
// says no, then given back.
std::size_t MostHeld(HandleBudget& budget) {
  std::size_t held = 0;
  while (held < 1000000 && budget.TryHold()) ++held;
  for (std::size_t i = 0; i < held; ++i) budget.Release();
  return held;
}

// Every worker's window, what it takes beside it and the one folder it may
// put off past the bound, with the waiting folders' bound, fit in the spare
// descriptors; and where they are plenty, nothing is cut short.
TEST(HandleBudgetTest, SharesNoMoreThanTheSpareDescriptors) {
  for (const std::size_t spare : {0, 5, 9, 12, 100, 200, 210, 300, 1000, 5000, 100000}) {
    for (const unsigned jobs : {1u, 2u, 7u, 64u}) {
      HandleBudget budget(spare, jobs);
      const std::string where = std::to_string(spare) + " spare, " + std::to_string(jobs) + " jobs";
      EXPECT_GE(budget.workers(), 1u) << where;
      EXPECT_LE(budget.workers(), jobs) << where;
      EXPECT_GE(budget.window(), 1u) << where;
      const std::size_t most_held = MostHeld(budget);
      const std::size_t taken =
          budget.workers() * (budget.window() + HandleBudget::kBesideWindow + 1) + most_held;
      // A window of one is the least a stack can walk with, whatever fits.
      if (budget.window() > 1) {
        EXPECT_LE(taken, spare) << where;
      }
      if (spare >= HandleBudget::Wanted(spare, jobs)) {
        EXPECT_EQ(budget.workers(), jobs) << where << ": the sweep had all it wants";
        EXPECT_EQ(budget.window(), HandleBudget::kMostWindow) << where;
      }
    }
  }
}

// Workers holding handles side by side never pass the bound, however their
// steps interleave: each takes its handle in the same step it looks.
TEST(HandleBudgetTest, WorkersHoldingSideBySideNeverPassTheBound) {
  HandleBudget budget(30, 8);
  const std::size_t most_held = MostHeld(budget);
  ASSERT_GT(most_held, 0u);
  constexpr std::size_t kPast = 3;
  std::atomic<std::size_t> most_seen{0};
  auto work = [&] {
    // Each keeps a few handles, so the budget stays nearly spent and
    // workers keep asking for its last handles at once.
    int kept = 0;
    for (int i = 0; i < 200000; ++i) {
      if (budget.TryHold(kPast)) {
        ++kept;
        const std::size_t held = budget.held();
        std::size_t seen = most_seen.load();
        while (held > seen && !most_seen.compare_exchange_weak(seen, held)) {
        }
      }
      if (kept > 3 || (kept > 0 && i % 5 == 0)) {
        budget.Release();
        --kept;
      }
    }
    for (; kept > 0; --kept) budget.Release();
  };
  std::vector<std::thread> workers;
  for (int i = 0; i < 8; ++i) workers.emplace_back(work);
  for (std::thread& worker : workers) worker.join();
  EXPECT_LE(most_seen.load(), most_held + kPast);
  EXPECT_EQ(budget.held(), 0u);
}

TEST(SpareFolderHandlesTest, AreWhatTheSoftLimitLeavesAfterTheOpenDescriptors) {
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  for (const rlim_t soft : {rlim_t{64}, rlim_t{1000}}) {
    if (soft > saved.rlim_max) continue;
    struct rlimit lowered = saved;
    lowered.rlim_cur = soft;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    const std::size_t before = platform::SpareFolderHandles();
    const int extra[3] = {::dup(0), ::dup(0), ::dup(0)};
    const std::size_t after = platform::SpareFolderHandles();
    for (const int fd : extra) ::close(fd);
    // Only those below the limit take its room: one above it (inherited
    // from before the limit came down) is no number the process could open.
    const std::size_t open = OpenDescriptors(static_cast<int>(soft));
    ::setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(before, soft - open) << soft;
    EXPECT_EQ(after, before - 3) << soft;
  }
}

}  // namespace
}  // namespace engine
