#include "engine/git_work_tree.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

namespace engine {
namespace {

// The most bytes of the small files read beside the index: `.git` files,
// `commondir`, `HEAD` and `config`.
constexpr std::size_t kMostSmallFileBytes = 1 << 20;
// How far up FindEnclosingWorkTree climbs at most; no real path is deeper.
constexpr int kMostLevelsUp = 4096;

char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Lowercase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = FoldAscii(c);
  return lower;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// ---------------------------------------------------------------------------
// A minimal reader of git's config syntax: sections, keys, values with
// quotes, escapes and continued lines, comments.

class ConfigParser {
 public:
  ConfigParser(std::string_view text, GitConfig* config) : text_(text), config_(config) {}

  bool Parse(std::string* error) {
    if (text_.substr(0, 3) == "\xef\xbb\xbf") at_ = 3;  // a byte-order mark, as git allows
    while (SkipSpaceAndComments()) {
      const bool ok = text_[at_] == '[' ? ParseSectionHeader() : ParseSetting(error);
      if (!ok) {
        if (error->empty()) *error = "its syntax is broken near byte " + std::to_string(at_);
        return false;
      }
    }
    return true;
  }

 private:
  // Skips blanks, line ends and comments; false at the end of the text.
  bool SkipSpaceAndComments() {
    while (at_ < text_.size()) {
      const char c = text_[at_];
      if (IsBlank(c) || c == '\n') {
        ++at_;
      } else if (c == '#' || c == ';') {
        while (at_ < text_.size() && text_[at_] != '\n') ++at_;
      } else {
        return true;
      }
    }
    return false;
  }

  // "[core]", "[remote \"origin\"]" or the old "[branch.main]". Only a
  // section without a subsection can be one of those read here.
  bool ParseSectionHeader() {
    ++at_;
    std::string name;
    while (at_ < text_.size() && (IsNameChar(text_[at_]) || text_[at_] == '.')) {
      name.push_back(FoldAscii(text_[at_++]));
    }
    bool subsection = name.find('.') != std::string::npos;
    while (at_ < text_.size() && IsBlank(text_[at_])) ++at_;
    if (at_ < text_.size() && text_[at_] == '"') {
      subsection = true;
      for (++at_; at_ < text_.size() && text_[at_] != '"'; ++at_) {
        if (text_[at_] == '\n') return false;
        if (text_[at_] == '\\') ++at_;
      }
      if (at_ >= text_.size()) return false;
      ++at_;
    }
    if (at_ >= text_.size() || text_[at_] != ']' || name.empty()) return false;
    ++at_;
    section_ = subsection ? std::string() : name;
    return true;
  }

  static bool IsNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
  }

  bool ParseSetting(std::string* error) {
    std::string key;
    while (at_ < text_.size() && IsNameChar(text_[at_])) key.push_back(FoldAscii(text_[at_++]));
    if (key.empty()) return false;
    while (at_ < text_.size() && IsBlank(text_[at_])) ++at_;
    std::string value;
    bool has_value = false;
    if (at_ < text_.size() && text_[at_] == '=') {
      ++at_;
      has_value = true;
      if (!ParseValue(&value)) return false;
    } else if (at_ < text_.size() && text_[at_] != '\n' && text_[at_] != '#' && text_[at_] != ';') {
      return false;
    }
    return Apply(key, has_value, value, error);
  }

  // A value up to its line's end: quotes kept out, escapes resolved,
  // blanks at either end dropped unless quoted, a comment cut off.
  bool ParseValue(std::string* value) {
    bool quoted = false;
    std::size_t kept = 0;  // the value's length without trailing unquoted blanks
    while (at_ < text_.size() && IsBlank(text_[at_])) ++at_;
    for (; at_ < text_.size(); ++at_) {
      const char c = text_[at_];
      if (c == '\n') {
        if (quoted) return false;
        break;
      }
      if (!quoted && (c == '#' || c == ';')) {
        while (at_ < text_.size() && text_[at_] != '\n') ++at_;
        break;
      }
      if (c == '"') {
        quoted = !quoted;
        kept = value->size();
        continue;
      }
      if (c == '\\') {
        if (++at_ >= text_.size()) return false;
        const char escaped = text_[at_];
        if (escaped == '\n') continue;  // the value goes on on the next line
        if (escaped == '\r' && at_ + 1 < text_.size() && text_[at_ + 1] == '\n') {
          ++at_;
          continue;
        }
        static const char kEscapes[] = "n\nt\tb\b\\\\\"\"";
        const char* found = nullptr;
        for (const char* e = kEscapes; *e != '\0'; e += 2) {
          if (*e == escaped) found = e;
        }
        if (found == nullptr) return false;
        value->push_back(found[1]);
        kept = value->size();
        continue;
      }
      value->push_back(c);
      if (quoted || !IsBlank(c)) kept = value->size();
    }
    if (quoted) return false;
    value->resize(kept);
    return true;
  }

  bool Apply(const std::string& key, bool has_value, const std::string& value,
             std::string* error) {
    if (section_ == "core" && key == "ignorecase") {
      return ParseBool(key, has_value, value, &config_->ignore_case, error);
    }
    if (section_ == "extensions" && key == "objectformat") {
      config_->object_format = Lowercase(value);
      return true;
    }
    if (section_ == "extensions" && key == "worktreeconfig") {
      return ParseBool(key, has_value, value, &config_->worktree_config, error);
    }
    return true;
  }

  bool ParseBool(const std::string& key, bool has_value, const std::string& value, bool* result,
                 std::string* error) {
    const std::string lower = Lowercase(value);
    if (!has_value || lower == "true" || lower == "yes" || lower == "on") {
      *result = true;
    } else if (lower.empty() || lower == "false" || lower == "no" || lower == "off") {
      *result = false;
    } else if (lower.find_first_not_of("0123456789") == std::string::npos) {
      *result = lower.find_first_not_of('0') != std::string::npos;
    } else {
      *error = "its setting " + section_ + "." + key + " is no boolean";
      return false;
    }
    return true;
  }

  std::string_view text_;
  GitConfig* config_;
  std::size_t at_ = 0;
  std::string section_;  // lowercased; empty in a subsection
};

// ---------------------------------------------------------------------------
// Loading.

std::string JoinGitPath(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (!path.empty() && path.back() != '/') path.push_back('/');
  path.append(name.data(), name.size());
  return path;
}

// The text of a one-line file (`.git`, `commondir`), line end dropped.
std::string_view TrimLine(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || IsBlank(text.back()))) text.remove_suffix(1);
  return text;
}

/// Where a work tree keeps its repository.
struct GitPlace {
  std::string git_dir;     // the work tree's own: HEAD, index
  bool no_repository = false;  // what .git names has no HEAD
  std::string common_dir;  // shared by worktrees: config, objects
};

/// Reads the small file `path` through `fs`; kFailed leaves the line for
/// the work tree in `reason`.
platform::LookupResult ReadSmallFile(platform::FileSystem& fs, const platform::Dir& top,
                                     const std::string& path, std::string* content,
                                     std::string* reason) {
  std::string error;
  const platform::LookupResult result =
      fs.ReadWholeFile(top, path, kMostSmallFileBytes, content, &error);
  if (result == platform::LookupResult::kFailed) *reason = "cannot read '" + path + "': " + error;
  return result;
}

// Finds the git dir and common dir of the work tree `top`; false, with the
// reason, when they can't be found.
bool LocateRepository(platform::FileSystem& fs, const platform::Dir& top, GitPlace* place,
                      std::string* reason) {
  platform::EntryKind kind = platform::EntryKind::kFolder;
  std::string error;
  const platform::LookupResult looked = fs.LookUpEntry(top, ".git", &kind, &error);
  if (looked != platform::LookupResult::kFound) {
    *reason = looked == platform::LookupResult::kMissing ? "'.git' is gone"
                                                         : "cannot read '.git': " + error;
    return false;
  }
  place->git_dir = ".git";
  if (kind != platform::EntryKind::kFolder) {
    // A worktree's or submodule's `.git` file names the git dir; a link
    // may lead to either a file or a folder.
    std::string text;
    const platform::LookupResult read =
        fs.ReadWholeFile(top, ".git", kMostSmallFileBytes, &text, &error);
    if (read == platform::LookupResult::kFound) {
      const std::string_view line = TrimLine(text);
      constexpr std::string_view kPrefix = "gitdir: ";
      if (line.substr(0, kPrefix.size()) != kPrefix || line.size() == kPrefix.size()) {
        *reason = "'.git' is a file that does not name a git dir";
        return false;
      }
      place->git_dir = std::string(line.substr(kPrefix.size()));
    } else if (kind != platform::EntryKind::kLink) {
      *reason = read == platform::LookupResult::kMissing ? "'.git' is gone"
                                                         : "cannot read '.git': " + error;
      return false;
    }
  }
  std::string head;
  const std::string head_path = JoinGitPath(place->git_dir, "HEAD");
  const platform::LookupResult head_read = ReadSmallFile(fs, top, head_path, &head, reason);
  if (head_read == platform::LookupResult::kMissing) {
    *reason = "'" + place->git_dir + "' is no git repository: it has no HEAD";
    place->no_repository = true;
  }
  if (head_read != platform::LookupResult::kFound) return false;
  std::string common;
  const std::string common_path = JoinGitPath(place->git_dir, "commondir");
  switch (ReadSmallFile(fs, top, common_path, &common, reason)) {
    case platform::LookupResult::kFailed:
      return false;
    case platform::LookupResult::kMissing:
      place->common_dir = place->git_dir;
      return true;
    case platform::LookupResult::kFound:
      break;
  }
  const std::string_view line = TrimLine(common);
  place->common_dir = platform::IsAbsolutePath(line) ? std::string(line)
                                                     : JoinGitPath(place->git_dir, line);
  return true;
}

// Reads the repository's settings; false, with the reason, when they can't
// be read or say this program can't read its index.
bool ReadSettings(platform::FileSystem& fs, const platform::Dir& top, const GitPlace& place,
                  GitConfig* config, std::string* reason) {
  const auto read_config = [&](const std::string& file) {
    std::string text;
    const platform::LookupResult read = ReadSmallFile(fs, top, file, &text, reason);
    if (read == platform::LookupResult::kFailed) return false;
    std::string error;
    if (read == platform::LookupResult::kFound && !ParseGitConfig(text, config, &error)) {
      *reason = "cannot use '" + file + "': " + error;
      return false;
    }
    return true;
  };
  if (!read_config(JoinGitPath(place.common_dir, "config"))) return false;
  // A work tree's own settings (the main one's too) come after the shared
  // ones, where the repository has them turned on.
  if (config->worktree_config && !read_config(JoinGitPath(place.git_dir, "config.worktree"))) {
    return false;
  }
  if (!config->object_format.empty() && config->object_format != "sha1") {
    *reason = "its repository uses the object format '" + config->object_format +
              "', whose index this program does not read";
    return false;
  }
  return true;
}

std::shared_ptr<const TrackedFiles> Load(platform::FileSystem& fs, const platform::Dir& top) {
  GitPlace place;
  GitConfig config;
  std::string reason;
  if (!LocateRepository(fs, top, &place, &reason)) {
    // A .git with no HEAD is no repository, as git itself judges it: it
    // tracks nothing, and makes no work tree.
    if (place.no_repository) return nullptr;
    return TrackedFiles::Unreadable(reason);
  }
  if (!ReadSettings(fs, top, place, &config, &reason)) return TrackedFiles::Unreadable(reason);
  const std::string index_path = JoinGitPath(place.git_dir, "index");
  std::unique_ptr<platform::FileSystem::FileBytes> bytes;
  std::string error;
  switch (fs.MapWholeFile(top, index_path, kMostGitIndexBytes, &bytes, &error)) {
    case platform::LookupResult::kFailed:
      return TrackedFiles::Unreadable("cannot read '" + index_path + "': " + error);
    case platform::LookupResult::kMissing:
      // A repository where nothing was ever added has no index yet.
      return TrackedFiles::FromIndex(GitIndexContent(), config.ignore_case);
    case platform::LookupResult::kFound:
      break;
  }
  // A split index's shared part is the large one: mapped too.
  std::unique_ptr<platform::FileSystem::FileBytes> shared_bytes;
  const auto read_shared = [&](std::string_view hex, std::string_view* shared, std::string* why) {
    const std::string path = JoinGitPath(place.git_dir, "sharedindex." + std::string(hex));
    std::string failure;
    const platform::LookupResult read =
        fs.MapWholeFile(top, path, kMostGitIndexBytes, &shared_bytes, &failure);
    if (read == platform::LookupResult::kFound) {
      *shared = shared_bytes->bytes();
      return true;
    }
    *why = "its shared index '" + path + "' " +
           (read == platform::LookupResult::kMissing ? "is missing" : "can't be read: " + failure);
    return false;
  };
  // Each path goes straight into its set as it is read; nothing of the
  // index is held once it is.
  class SetSink final : public GitIndexSink {
   public:
    explicit SetSink(bool ignore_case) : paths(ignore_case), sparse_folders(ignore_case) {}
    void Expect(std::size_t count) override { paths.Reserve(count); }
    void Add(std::string_view path, bool sparse_folder) override {
      (sparse_folder ? sparse_folders : paths).Add(path);
    }
    PathSet paths;
    PathSet sparse_folders;
  } sink(config.ignore_case);
  const bool read = ReadGitIndex(bytes->bytes(), read_shared, &sink, &error);
  bytes.reset();
  if (!read) return TrackedFiles::Unreadable("cannot use '" + index_path + "': " + error);
  return std::make_shared<const TrackedFiles>(std::move(sink.paths), std::move(sink.sparse_folders),
                                              std::string());
}

// The last `levels` names of the shown path `path`, joined with `/`, and
// what is left above them; false when the path has fewer names.
bool SplitOffLevels(std::string_view path, int levels, std::string* relative, std::string* top) {
  std::size_t cut = path.size();
  std::vector<std::string_view> names;
  for (int i = 0; i < levels; ++i) {
    if (cut == 0) return false;
    const std::size_t separator = path.rfind(platform::kPathSeparator, cut - 1);
    if (separator == std::string_view::npos || separator + 1 >= cut) return false;
    names.push_back(path.substr(separator + 1, cut - separator - 1));
    cut = separator;
  }
  relative->clear();
  for (auto name = names.rbegin(); name != names.rend(); ++name) {
    if (!relative->empty()) relative->push_back('/');
    relative->append(name->data(), name->size());
  }
  top->assign(path.substr(0, cut));
  // "/" for a POSIX root, "C:\" for a drive's.
  if (top->find(platform::kPathSeparator) == std::string::npos) top->push_back(platform::kPathSeparator);
  return true;
}

bool HoldsGitEntry(platform::FileSystem& fs, const platform::Dir& folder) {
  platform::EntryKind kind;
  std::string ignored;
  return fs.LookUpEntry(folder, ".git", &kind, &ignored) == platform::LookupResult::kFound;
}

}  // namespace

bool ParseGitConfig(std::string_view text, GitConfig* config, std::string* error) {
  error->clear();
  return ConfigParser(text, config).Parse(error);
}

// ---------------------------------------------------------------------------
// PathSet and TrackedFiles.

namespace {

std::uint64_t Load64(const char* at) {
  std::uint64_t word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

// A-Z to a-z in each of the eight bytes at once; no other byte changes
// (UTF-8's are all 0x80 or more).
std::uint64_t FoldAsciiWord(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  const std::uint64_t low = word & ~kHigh;  // below 0x80: adding can't carry
  const std::uint64_t from_a = low + kOnes * (0x80 - 'A');
  const std::uint64_t past_z = low + kOnes * (0x7f - 'Z');
  const std::uint64_t upper = from_a & ~past_z & ~word & kHigh;
  return word | (upper >> 2);
}

}  // namespace

void PathSet::Reserve(std::size_t paths) {
  std::size_t slot_count = std::max<std::size_t>(slots_.size(), 16);
  // At most three quarters full: a missing path is looked for in about
  // eight slots, most often one cache line.
  while (slot_count / 4 * 3 < count_ + paths) slot_count *= 2;
  if (slot_count != slots_.size()) Grow(slot_count);
}

std::size_t PathSet::Slot(std::uint64_t hash) const {
  // The hash's high half scaled to the table, which need not be a power of two.
  return static_cast<std::size_t>(((hash >> 32) * slots_.size()) >> 32);
}

void PathSet::Grow(std::size_t slot_count) {
  std::vector<std::uint64_t> old(slot_count, 0);
  old.swap(slots_);
  count_ = 0;
  for (const std::uint64_t hash : old) {
    if (hash != 0) Place(hash);
  }
}

void PathSet::Place(std::uint64_t hash) {
  std::size_t slot = Slot(hash);
  while (slots_[slot] != 0) {
    if (slots_[slot] == hash) return;
    if (++slot == slots_.size()) slot = 0;
  }
  slots_[slot] = hash;
  ++count_;
}

void PathSet::Add(std::string_view path) {
  if (slots_.size() / 4 * 3 <= count_) Reserve(1);
  Place(Hash(path));
}

std::uint64_t PathSet::Hash(std::string_view path) const {
  // MurmurHash64A: eight bytes a step, so that a path of 80 bytes costs
  // ten multiplications; folding case fits in the same step.
  constexpr std::uint64_t kMultiplier = 0xc6a4a7935bd1e995ull;
  constexpr int kShift = 47;
  const auto mix = [](std::uint64_t word) {
    word *= kMultiplier;
    word ^= word >> kShift;
    return word * kMultiplier;
  };
  std::uint64_t hash = 0x9e3779b97f4a7c15ull ^ (path.size() * kMultiplier);
  const char* at = path.data();
  std::size_t left = path.size();
  for (; left >= 8; at += 8, left -= 8) {
    const std::uint64_t word = ignore_case_ ? FoldAsciiWord(Load64(at)) : Load64(at);
    hash = (hash ^ mix(word)) * kMultiplier;
  }
  if (left > 0) {
    std::uint64_t word = 0;
    std::memcpy(&word, at, left);
    if (ignore_case_) word = FoldAsciiWord(word);
    hash = (hash ^ word) * kMultiplier;
  }
  hash ^= hash >> kShift;
  hash *= kMultiplier;
  hash ^= hash >> kShift;
  return hash != 0 ? hash : 1;
}

bool PathSet::Contains(std::string_view path) const {
  if (count_ == 0) return false;
  const std::uint64_t hash = Hash(path);
  for (std::size_t slot = Slot(hash); slots_[slot] != 0;) {
    if (slots_[slot] == hash) return true;
    if (++slot == slots_.size()) slot = 0;
  }
  return false;
}

TrackedFiles::TrackedFiles(PathSet paths, PathSet sparse_folders, std::string reason)
    : paths_(std::move(paths)),
      sparse_folders_(std::move(sparse_folders)),
      unreadable_reason_(std::move(reason)) {}

std::shared_ptr<const TrackedFiles> TrackedFiles::Unreadable(std::string reason) {
  if (reason.empty()) reason = "it could not be read";
  return std::make_shared<const TrackedFiles>(PathSet(), PathSet(), std::move(reason));
}

std::shared_ptr<const TrackedFiles> TrackedFiles::FromIndex(GitIndexContent content,
                                                            bool ignore_case) {
  PathSet paths(ignore_case);
  PathSet sparse_folders(ignore_case);
  paths.Reserve(content.paths.size());
  for (std::size_t i = 0; i < content.paths.size(); ++i) paths.Add(content.paths[i]);
  for (std::size_t i = 0; i < content.sparse_folders.size(); ++i) {
    sparse_folders.Add(content.sparse_folders[i]);
  }
  return std::make_shared<const TrackedFiles>(std::move(paths), std::move(sparse_folders),
                                              std::string());
}

bool TrackedFiles::Tracks(std::string_view relative_path) const {
  if (!unreadable_reason_.empty()) return true;
  if (paths_.Contains(relative_path)) return true;
  if (sparse_folders_.size() == 0) return false;
  // Each folder on the way, "a/", "a/b/", might be a sparse folder entry.
  for (std::size_t slash = relative_path.find('/'); slash != std::string_view::npos;
       slash = relative_path.find('/', slash + 1)) {
    if (sparse_folders_.Contains(relative_path.substr(0, slash + 1))) return true;
  }
  return false;
}

std::shared_ptr<const TrackedFiles> LoadTrackedFiles(platform::FileSystem& fs,
                                                     const platform::Dir& work_tree) {
  try {
    return Load(fs, work_tree);
  } catch (const std::bad_alloc&) {
    // Keeping every file of the work tree needs no memory to speak of.
    return TrackedFiles::Unreadable("there is not enough memory to hold its index");
  } catch (const std::length_error&) {
    return TrackedFiles::Unreadable("its index is too large to hold");
  }
}

EnclosingWorkTree FindEnclosingWorkTree(platform::FileSystem& fs, const platform::Dir& start,
                                        std::string_view start_path) {
  EnclosingWorkTree found;
  if (HoldsGitEntry(fs, start)) {
    found.tracked = LoadTrackedFiles(fs, start);
    found.top_path = std::string(start_path);
    return found;
  }
  platform::Dir here;
  platform::FolderInfo info;
  if (!fs.OpenParent(start, &here, &info)) return found;
  std::vector<platform::FolderId> climbed = {info.id};
  // Where folders have no identity, the top is its own parent without
  // telling: climb no more levels than the path has names.
  const int most_levels = start_path.empty()
                              ? kMostLevelsUp
                              : static_cast<int>(std::count(start_path.begin(), start_path.end(),
                                                            platform::kPathSeparator));
  for (int levels = 1; levels <= most_levels; ++levels) {
    if (HoldsGitEntry(fs, here)) {
      if (!SplitOffLevels(start_path, levels, &found.relative_path, &found.top_path)) {
        found.tracked = TrackedFiles::Unreadable("the work tree above '" + std::string(start_path) +
                                                 "' is more levels up than its path shows");
        return found;
      }
      found.tracked = LoadTrackedFiles(fs, here);
      return found;
    }
    platform::Dir parent;
    // The top of the file system is its own parent.
    if (!fs.OpenParent(here, &parent, &info) ||
        (info.id.IsKnown() &&
         std::find(climbed.begin(), climbed.end(), info.id) != climbed.end())) {
      break;
    }
    climbed.push_back(info.id);
    here = std::move(parent);
  }
  return found;
}

}  // namespace engine
