// The file system of a dry run: everything is read as in a real run, and
// the one call that changes anything, RemoveFile, only looks.
#ifndef BUILDSWEEP_ENGINE_DRY_RUN_H_
#define BUILDSWEEP_ENGINE_DRY_RUN_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "platform/file_system.h"

namespace engine {

/// Passes every call to the real file system except RemoveFile, which
/// answers as a removal would (see FileSystem::ExamineFile) and adds up
/// what the files it would have removed take. Because the walk itself is
/// unchanged, a dry run picks its files by exactly the code a real run uses.
/// Cleaning threads call it at once, so its sums are shared safely.
class DryRunFileSystem : public platform::FileSystem {
 public:
  /// Reads through `real`.
  explicit DryRunFileSystem(platform::FileSystem& real) : real_(real) {}

  bool CurrentDirectory(std::string* path, std::string* error) override;
  bool OpenCurrentDirectory(platform::Dir* dir, platform::FolderInfo* info,
                            std::string* error) override;
  platform::OpenResult OpenChild(const platform::Dir& parent, std::string_view name,
                                 platform::Dir* dir, platform::FolderInfo* info,
                                 std::string* error) override;
  platform::OpenResult OpenFolderPath(std::string_view path, platform::Dir* dir,
                                      platform::FolderInfo* info, std::string* error) override;
  bool OpenParent(const platform::Dir& child, platform::Dir* dir,
                  platform::FolderInfo* info) override;
  bool ListEntries(const platform::Dir& dir, platform::EntryList* out, std::string* error) override;
  platform::LinkTarget LinkLeadsToFolder(const platform::Dir& dir, std::string_view name,
                                         std::string* error) override;
  /// Removes nothing; answers what removing would have done.
  platform::RemoveResult RemoveFile(const platform::Dir& dir, std::string_view name,
                                    std::string* error) override;
  /// As RemoveFile, telling what the file takes.
  platform::RemoveResult RemoveFileMeasured(const platform::Dir& dir, std::string_view name,
                                            platform::FileExamination* removed,
                                            std::string* error) override;
  platform::LookupResult ReadModifiedTime(const platform::Dir& dir, std::string_view name,
                                          std::int64_t* time, std::string* error) override;
  platform::RemoveResult ExamineFile(const platform::Dir& dir, std::string_view name,
                                     platform::FileExamination* file,
                                     std::string* error) override;
  platform::LookupResult LookUpEntry(const platform::Dir& dir, std::string_view name,
                                     platform::EntryKind* kind, std::string* error) override;
  platform::LookupResult LookUpPath(const platform::Dir& dir, std::string_view path,
                                    platform::EntryKind* kind, platform::FolderId* id,
                                    std::string* error) override;
  platform::LookupResult ReadLinkText(const platform::Dir& dir, std::string_view path,
                                      std::string* text, std::string* error) override;
  platform::LookupResult ListFolderAt(const platform::Dir& dir, std::string_view path,
                                      platform::EntryList* out, std::string* error) override;
  platform::LookupResult PhysicalFolderPath(std::string_view path, std::string* physical,
                                            std::string* error) override;
  platform::LookupResult ReadWholeFile(const platform::Dir& dir, std::string_view path,
                                       std::size_t most_bytes, std::string* content,
                                       std::string* error) override;
  platform::LookupResult MapWholeFile(const platform::Dir& dir, std::string_view path,
                                      std::size_t most_bytes,
                                      std::unique_ptr<platform::FileSystem::FileBytes>* content,
                                      std::string* error) override;

  /// The total apparent size of the files RemoveFile said would go (each
  /// link's own), at most the largest 64-bit number.
  std::uint64_t apparent_bytes() const { return apparent_bytes_.load(); }
  /// The space their removal would give back: a file's allocation, counted
  /// once all of its links have been said to go (a file with a link that
  /// stays frees nothing), at most the largest 64-bit number.
  std::uint64_t bytes_freed() const { return bytes_freed_.load(); }

 private:
  /// Counts one more link of `file` as going; true when that was its last.
  bool IsLastLink(const platform::FileExamination& file);

  platform::FileSystem& real_;
  // Added to by every cleaning thread.
  std::atomic<std::uint64_t> apparent_bytes_{0};
  std::atomic<std::uint64_t> bytes_freed_{0};
  // The links seen so far of the files with several: the only ones that
  // need an entry, removed once all their links have been seen.
  std::mutex links_mutex_;
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::uint64_t> links_seen_;
};

/// The folders a dry run has cleaned so far, by identity, for every thread
/// of the run. A folder reached again by another path (a bind mount, or two
/// chosen folders that overlap through one) has, in a real run, lost every
/// file that could go at its first visit: a dry run must find them gone
/// there too, or it lists and counts them twice.
class CleanedFolders {
 public:
  /// Notes the folder `id` as cleaned now; false when it had been already.
  /// A folder without a known identity is never taken for one seen before.
  bool NoteFirstCleaning(const platform::FolderId& id);

 private:
  struct Hash {
    std::size_t operator()(const std::pair<std::uint64_t, std::uint64_t>& id) const {
      return static_cast<std::size_t>(id.second * 0x9e3779b97f4a7c15u ^ id.first);
    }
  };
  std::mutex mutex_;
  std::unordered_set<std::pair<std::uint64_t, std::uint64_t>, Hash> cleaned_;
};

/// Adds `bytes` to `total`, stopping at the largest 64-bit number rather
/// than wrapping around.
void AddSaturating(std::atomic<std::uint64_t>* total, std::uint64_t bytes);

/// "1.2 MiB": `bytes` in the largest binary unit that keeps the figure at
/// least 1, with one decimal; empty below 1 KiB, where the byte count says
/// it all.
std::string ReadableSize(std::uint64_t bytes);

}  // namespace engine

#endif  // BUILDSWEEP_ENGINE_DRY_RUN_H_
