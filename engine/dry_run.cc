#include "engine/dry_run.h"

#include <cstdio>

namespace engine {

bool DryRunFileSystem::CurrentDirectory(std::string* path, std::string* error) {
  return real_.CurrentDirectory(path, error);
}

bool DryRunFileSystem::OpenCurrentDirectory(platform::Dir* dir, platform::FolderInfo* info,
                                            std::string* error) {
  return real_.OpenCurrentDirectory(dir, info, error);
}

platform::OpenResult DryRunFileSystem::OpenChild(const platform::Dir& parent,
                                                 std::string_view name, platform::Dir* dir,
                                                 platform::FolderInfo* info, std::string* error) {
  return real_.OpenChild(parent, name, dir, info, error);
}

platform::OpenResult DryRunFileSystem::OpenFolderPath(std::string_view path, platform::Dir* dir,
                                                      platform::FolderInfo* info,
                                                      std::string* error) {
  return real_.OpenFolderPath(path, dir, info, error);
}

bool DryRunFileSystem::OpenParent(const platform::Dir& child, platform::Dir* dir,
                                  platform::FolderInfo* info) {
  return real_.OpenParent(child, dir, info);
}

bool DryRunFileSystem::ListEntries(const platform::Dir& dir, platform::EntryList* out,
                                   std::string* error) {
  return real_.ListEntries(dir, out, error);
}

platform::LinkTarget DryRunFileSystem::LinkLeadsToFolder(const platform::Dir& dir,
                                                         std::string_view name,
                                                         std::string* error) {
  return real_.LinkLeadsToFolder(dir, name, error);
}

platform::RemoveResult DryRunFileSystem::RemoveFile(const platform::Dir& dir,
                                                    std::string_view name, std::string* error) {
  platform::FileExamination file;
  return RemoveFileMeasured(dir, name, &file, error);
}

platform::RemoveResult DryRunFileSystem::RemoveFileMeasured(const platform::Dir& dir,
                                                            std::string_view name,
                                                            platform::FileExamination* removed,
                                                            std::string* error) {
  platform::FileExamination file;
  const platform::RemoveResult result = real_.ExamineFile(dir, name, &file, error);
  if (result != platform::RemoveResult::kRemoved) return result;
  AddSaturating(&apparent_bytes_, file.size);
  if (file.links <= 1 || IsLastLink(file)) AddSaturating(&bytes_freed_, file.allocated);
  *removed = file;
  return result;
}

platform::LookupResult DryRunFileSystem::ReadModifiedTime(const platform::Dir& dir,
                                                          std::string_view name,
                                                          std::int64_t* time, std::string* error) {
  return real_.ReadModifiedTime(dir, name, time, error);
}

bool DryRunFileSystem::IsLastLink(const platform::FileExamination& file) {
  // Without an identity its links can't be told from other files': its
  // space is left out rather than counted for a link that may stay.
  if (!file.id.IsKnown()) return false;
  const std::pair<std::uint64_t, std::uint64_t> key(file.id.device, file.id.inode);
  const std::lock_guard<std::mutex> lock(links_mutex_);
  const auto seen = links_seen_.emplace(key, 0).first;
  if (++seen->second < file.links) return false;
  links_seen_.erase(seen);
  return true;
}

platform::RemoveResult DryRunFileSystem::ExamineFile(const platform::Dir& dir,
                                                     std::string_view name,
                                                     platform::FileExamination* file,
                                                     std::string* error) {
  return real_.ExamineFile(dir, name, file, error);
}

bool CleanedFolders::NoteFirstCleaning(const platform::FolderId& id) {
  if (!id.IsKnown()) return true;
  const std::lock_guard<std::mutex> lock(mutex_);
  return cleaned_.emplace(id.device, id.inode).second;
}

void AddSaturating(std::atomic<std::uint64_t>* total, std::uint64_t bytes) {
  std::uint64_t now = total->load(std::memory_order_relaxed);
  std::uint64_t sum;
  do {
    sum = bytes > ~std::uint64_t{0} - now ? ~std::uint64_t{0} : now + bytes;
  } while (!total->compare_exchange_weak(now, sum, std::memory_order_relaxed));
}

platform::LookupResult DryRunFileSystem::LookUpEntry(const platform::Dir& dir,
                                                     std::string_view name,
                                                     platform::EntryKind* kind,
                                                     std::string* error) {
  return real_.LookUpEntry(dir, name, kind, error);
}

platform::LookupResult DryRunFileSystem::LookUpPath(const platform::Dir& dir,
                                                    std::string_view path,
                                                    platform::EntryKind* kind,
                                                    platform::FolderId* id, std::string* error) {
  return real_.LookUpPath(dir, path, kind, id, error);
}

platform::LookupResult DryRunFileSystem::ReadLinkText(const platform::Dir& dir,
                                                      std::string_view path, std::string* text,
                                                      std::string* error) {
  return real_.ReadLinkText(dir, path, text, error);
}

platform::LookupResult DryRunFileSystem::ListFolderAt(const platform::Dir& dir,
                                                      std::string_view path,
                                                      platform::EntryList* out,
                                                      std::string* error) {
  return real_.ListFolderAt(dir, path, out, error);
}

platform::LookupResult DryRunFileSystem::PhysicalFolderPath(std::string_view path,
                                                            std::string* physical,
                                                            std::string* error) {
  return real_.PhysicalFolderPath(path, physical, error);
}

platform::LookupResult DryRunFileSystem::ReadWholeFile(const platform::Dir& dir,
                                                       std::string_view path,
                                                       std::size_t most_bytes,
                                                       std::string* content, std::string* error) {
  return real_.ReadWholeFile(dir, path, most_bytes, content, error);
}

platform::LookupResult DryRunFileSystem::MapWholeFile(
    const platform::Dir& dir, std::string_view path, std::size_t most_bytes,
    std::unique_ptr<platform::FileSystem::FileBytes>* content, std::string* error) {
  return real_.MapWholeFile(dir, path, most_bytes, content, error);
}

std::string ReadableSize(std::uint64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) return std::string();
  // Tenths of the unit, rounded; past 1023.95 the next unit takes over, so
  // the figure never reads "1024.0".
  int unit = 0;
  double value = static_cast<double>(bytes) / 1024;
  while (unit + 1 < 6 && value >= 1023.95) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
  return text;
}

}  // namespace engine
