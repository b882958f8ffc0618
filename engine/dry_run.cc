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
  std::uint64_t size = 0;
  const platform::RemoveResult result = real_.ExamineFile(dir, name, &size, error);
  if (result == platform::RemoveResult::kRemoved) bytes_freed_.fetch_add(size);
  return result;
}

platform::RemoveResult DryRunFileSystem::ExamineFile(const platform::Dir& dir,
                                                     std::string_view name, std::uint64_t* size,
                                                     std::string* error) {
  return real_.ExamineFile(dir, name, size, error);
}

platform::LookupResult DryRunFileSystem::LookUpEntry(const platform::Dir& dir,
                                                     std::string_view name,
                                                     platform::EntryKind* kind,
                                                     std::string* error) {
  return real_.LookUpEntry(dir, name, kind, error);
}

platform::LookupResult DryRunFileSystem::ReadWholeFile(const platform::Dir& dir,
                                                       std::string_view path,
                                                       std::size_t most_bytes,
                                                       std::string* content, std::string* error) {
  return real_.ReadWholeFile(dir, path, most_bytes, content, error);
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
