#include "engine/git_work_tree.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <limits>
#include <mutex>
#include <new>
#include <set>
#include <stdexcept>
#include <utility>

#include "engine/climb.h"
#include "platform/per_thread.h"

namespace engine {
namespace {

// The most bytes of the small files read beside the index: `.git` files,
// `commondir`, `HEAD` and `config`.
constexpr std::size_t kMostSmallFileBytes = 1 << 20;

char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Lowercase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = FoldAscii(c);
  return lower;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// A whole number as git reads one: C's notation (0x, a leading 0 for
// octal) and a unit k, m or g after it, within an int.
bool ParseGitInt(std::string_view text, long* result) {
  const std::string value(text);
  std::size_t end = 0;
  long long number = 0;
  try {
    number = std::stoll(value, &end, 0);
  } catch (const std::logic_error&) {
    end = 0;
  }
  long long unit = 1;
  if (end > 0 && end + 1 == value.size()) {
    const char suffix = FoldAscii(value[end]);
    unit = suffix == 'k' ? 1024 : suffix == 'm' ? 1024 * 1024 : suffix == 'g' ? 1024 * 1024 * 1024 : 0;
    if (unit != 0) ++end;
  }
  if (end == 0 || end != value.size() || number > std::numeric_limits<int>::max() / unit ||
      number < std::numeric_limits<int>::min() / unit) {
    return false;
  }
  *result = static_cast<long>(number * unit);
  return true;
}

// Takes the core.ignorecase `from` sets, if any, into `into`, which it
// follows: an included file in its place, a later layer after an earlier
// one. A `conditional` one (includeIf, its condition not weighed) only
// where it turns the setting on, the side that keeps more files.
void FollowIgnoreCase(const GitConfig& from, bool conditional, GitConfig* into) {
  if (!from.ignore_case_set || (conditional && !from.ignore_case)) return;
  into->ignore_case = from.ignore_case;
  into->ignore_case_set = true;
}

// ---------------------------------------------------------------------------
// A minimal reader of git's config syntax: sections, keys, values with
// quotes, escapes and continued lines, comments.

class ConfigParser {
 public:
  ConfigParser(std::string_view text, GitConfig* config, const GitConfigIncludes* includes)
      : text_(text), config_(config), includes_(includes) {}

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
    const std::size_t name_end = at_;
    while (at_ < text_.size() && IsBlank(text_[at_])) ++at_;
    // Blanks after the name only before a subsection: git takes "[core ]"
    // for a broken line.
    if (at_ > name_end && (at_ >= text_.size() || text_[at_] != '"')) return false;
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
    include_if_ = subsection && name == "includeif";
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

  // A value up to its line's end, as git reads it: quotes kept out,
  // escapes resolved, a comment cut off, and blanks not quoted dropped
  // before anything else (even after an empty "") and at the end, and each
  // made one space in between: `../w<TAB>x` names the folder "w x".
  bool ParseValue(std::string* value) {
    bool quoted = false;
    std::size_t kept = 0;  // the value's length without trailing unquoted blanks
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
      if (!quoted && IsBlank(c)) {
        if (!value->empty()) value->push_back(' ');
        continue;
      }
      value->push_back(c);
      kept = value->size();
    }
    if (quoted) return false;
    value->resize(kept);
    return true;
  }

  bool Apply(const std::string& key, bool has_value, const std::string& value,
             std::string* error) {
    if ((section_ == "include" || include_if_) && key == "path") {
      return Include(has_value, value, include_if_, error);
    }
    if (section_ == "core" && key == "worktree") {
      config_->work_tree = value;
      return true;
    }
    if (section_ == "core" && key == "bare") {
      return ParseBool(key, has_value, value, &config_->bare, error);
    }
    if (section_ == "core" && key == "ignorecase") {
      config_->ignore_case_set = true;
      return ParseBool(key, has_value, value, &config_->ignore_case, error);
    }
    if (section_ == "core" && key == "repositoryformatversion") {
      return ParseInt(key, has_value, value, &config_->format_version, error);
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

  // What the file `path` names sets core.ignorecase to, in its place here.
  bool Include(bool has_value, const std::string& path, bool conditional, std::string* error) {
    if (!has_value || path.empty()) {
      *error = "its include path is empty";  // which git refuses
      return false;
    }
    if (includes_ == nullptr) return true;
    GitConfig included;
    if (!(*includes_)(path, &included, error)) return false;
    FollowIgnoreCase(included, conditional, config_);
    return true;
  }

  bool ParseBool(const std::string& key, bool has_value, const std::string& value, bool* result,
                 std::string* error) {
    if (!has_value) {
      *result = true;
    } else if (!ParseGitBool(value, result)) {
      *error = "its setting " + section_ + "." + key + " is no boolean";
      return false;
    }
    return true;
  }

  bool ParseInt(const std::string& key, bool has_value, const std::string& value, long* result,
                std::string* error) {
    if (!has_value || !ParseGitInt(value, result)) {
      *error = "its setting " + section_ + "." + key + " is no number";
      return false;
    }
    return true;
  }

  std::string_view text_;
  GitConfig* config_;
  const GitConfigIncludes* includes_;
  std::size_t at_ = 0;
  std::string section_;  // lowercased; empty in a subsection
  bool include_if_ = false;  // in an [includeIf "..."] section
};

// ---------------------------------------------------------------------------
// Finding repositories as git's own discovery does, and loading.

std::string JoinGitPath(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (!path.empty() && path.back() != '/') path.push_back('/');
  path.append(name.data(), name.size());
  return path;
}

// How the path `path`, read from the folder `base` (a `..` path from the
// folder the files are read through, or ""), is named in a message: from
// that folder, as a user standing there would write it.
std::string Shown(std::string_view path, std::string_view base) {
  if (!base.empty() && path.size() > base.size() && path.compare(0, base.size(), base) == 0 &&
      path[base.size()] == '/') {
    path.remove_prefix(base.size() + 1);
  }
  return std::string(path);
}

// The text of HEAD, blanks and line ends after it dropped.
std::string_view TrimLine(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || IsBlank(text.back()))) text.remove_suffix(1);
  return text;
}

// The path a `.git` file or `commondir` holds: git drops only the line ends
// after it, so a blank there is part of the name.
std::string_view PathInLine(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

// The git dir a `.git` file's text names ("gitdir: PATH"), as written;
// empty where it names none.
std::string_view GitDirInFile(std::string_view text) {
  constexpr std::string_view kPrefix = "gitdir: ";
  const std::string_view line = PathInLine(text);
  if (line.substr(0, kPrefix.size()) != kPrefix) return {};
  return line.substr(kPrefix.size());
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The name a symbolic HEAD ("ref: refs/heads/main") points to; empty for
// any other HEAD.
std::string_view SymbolicTarget(std::string_view head) {
  if (head.substr(0, 4) != "ref:") return std::string_view();
  head.remove_prefix(4);
  while (!head.empty() && (IsBlank(head.front()) || head.front() == '\n')) head.remove_prefix(1);
  return TrimLine(head);
}

// Whether `head` is a HEAD as git accepts one: a name under refs/, or an
// object id in hex (SHA-1's 40 digits are the shortest).
bool IsValidHead(std::string_view head) {
  if (head.substr(0, 4) == "ref:") return SymbolicTarget(head).substr(0, 5) == "refs/";
  return head.size() >= 40 && std::all_of(head.begin(), head.begin() + 40, IsHexDigit);
}

/// Reads the small file `path` through `fs`; kFailed leaves the line for
/// the work tree in `reason`.
platform::LookupResult ReadSmallFile(platform::FileSystem& fs, const platform::Dir& dir,
                                     const std::string& path, std::string_view base,
                                     std::string* content, std::string* reason) {
  std::string error;
  const platform::LookupResult result =
      fs.ReadWholeFile(dir, path, kMostSmallFileBytes, content, &error);
  if (result == platform::LookupResult::kFailed) {
    *reason = "cannot read '" + Shown(path, base) + "': " + error;
  }
  return result;
}

// Whether anything is at `path`, a link to nothing too. What can't be
// looked at may be there.
bool IsThere(platform::FileSystem& fs, const platform::Dir& dir, const std::string& path) {
  platform::EntryKind kind;
  platform::FolderId id;
  std::string ignored;
  if (fs.LookUpPath(dir, path, &kind, &id, &ignored) != platform::LookupResult::kMissing) return true;
  return fs.ReadLinkText(dir, path, &ignored, &ignored) != platform::LookupResult::kMissing;
}

// Set once, before any folder is judged.
GitDirEnvironment& DirEnvironment() {
  static GitDirEnvironment environment;
  return environment;
}

// Whether the folder at `path` holds what git makes in a repository's
// `objects` and `refs`, as a common dir does; not `objects` and `refs`
// alone, which many a project has.
// Whether the entry at `path`, links followed, is of `kind`.
bool IsKindAt(platform::FileSystem& fs, const platform::Dir& dir, const std::string& path,
              platform::EntryKind kind) {
  platform::EntryKind found;
  platform::FolderId id;
  std::string ignored;
  return fs.LookUpPath(dir, path, &found, &id, &ignored) == platform::LookupResult::kFound &&
         found == kind;
}

bool HasCommonDirShape(platform::FileSystem& fs, const platform::Dir& dir, const std::string& path) {
  for (const char* name : {"objects/pack", "objects/info", "refs/heads", "refs/tags"}) {
    if (!IsKindAt(fs, dir, JoinGitPath(path, name), platform::EntryKind::kFolder)) return false;
  }
  return true;
}

}  // namespace

bool HasRefsOrLogsShape(platform::FileSystem& fs, const platform::Dir& dir,
                        const std::string& path) {
  // As the walk's listing shows them (ListTargets): `heads` and `tags` are
  // folders there, not links to folders.
  const auto is_real_folder = [&](const char* name) {
    const std::string at = JoinGitPath(path, name);
    std::string ignored;
    return IsKindAt(fs, dir, at, platform::EntryKind::kFolder) &&
           fs.ReadLinkText(dir, at, &ignored, &ignored) == platform::LookupResult::kMissing;
  };
  // A work tree's top holds `.git` (of any kind, as the listing shows it:
  // a link to nothing too), which no ref name may begin with.
  if (IsThere(fs, dir, JoinGitPath(path, ".git"))) return false;
  return (is_real_folder("heads") && is_real_folder("tags")) ||
         (IsKindAt(fs, dir, JoinGitPath(path, "HEAD"), platform::EntryKind::kFile) &&
          IsKindAt(fs, dir, JoinGitPath(path, "refs/heads"), platform::EntryKind::kFolder));
}

namespace {

// The folders and files repositories judged so far keep data in away from
// their git dirs (see IsGitDataElsewhere). Never destroyed: a worker may
// still look while the process ends.
struct DataAway {
  std::atomic<bool> any{false};        // looked at without the lock
  std::atomic<bool> any_files{false};  // the same, for files
  std::mutex mutex;
  std::vector<platform::FolderId> folders;
  std::vector<platform::FolderId> files;
  // The common dirs of the repositories whose data away from their git
  // dirs was wholly noted (see NoteDataAway).
  std::set<std::pair<std::uint64_t, std::uint64_t>> wholly_noted;
};

DataAway& GitDataAway() {
  static DataAway* away = new DataAway;
  return *away;
}

// Each folder or file this thread noted, in turn: the folders above it, and
// a file's name.
struct Noted {
  std::vector<platform::FolderId> above;
  std::string file_name;  // empty for a folder
};
using NotedHere = std::vector<Noted>;

// Whether the folder at `at` (a path from `dir`) is a repository folder, by
// a quick look: a HEAD beside `objects` and `refs`, or a `commondir`.
bool LooksLikeRepositoryFolder(platform::FileSystem& fs, const platform::Dir& dir,
                               const std::string& at) {
  return IsThere(fs, dir, JoinGitPath(at, "HEAD")) &&
         ((IsThere(fs, dir, JoinGitPath(at, "objects")) &&
           IsThere(fs, dir, JoinGitPath(at, "refs"))) ||
          IsThere(fs, dir, JoinGitPath(at, "commondir")));
}

// The path (from `dir`) of the file the link `at` leads to at last, through
// any links after it; its last name into `name`.
std::string FinalTarget(platform::FileSystem& fs, const platform::Dir& dir, std::string at,
                        std::string* name) {
  constexpr int kMostLinks = 40;  // as the system follows them
  std::string text;
  std::string error;
  for (int hop = 0; hop < kMostLinks; ++hop) {
    if (fs.ReadLinkText(dir, at, &text, &error) != platform::LookupResult::kFound) break;
    const std::size_t cut = at.rfind('/');
    const std::string folder = cut == std::string::npos ? std::string() : at.substr(0, cut);
    at = platform::IsAbsolutePath(text) ? text : JoinGitPath(folder, text);
  }
  const std::size_t cut = at.rfind('/');
  name->assign(cut == std::string::npos ? at : at.substr(cut + 1));
  return cut == std::string::npos ? std::string() : at.substr(0, cut + 1);
}

// The folders from `at` (a folder, as a path from `dir`) up to the top of
// its file system, nearest first, into `above`. False where one of them is
// a repository folder: the walk never enters it, so never reaches `at`
// (`git-new-workdir` links a work tree's objects and refs into another
// repository's .git).
bool FoldersFrom(platform::FileSystem& fs, const platform::Dir& dir, std::string at,
                 std::vector<platform::FolderId>* above) {
  constexpr int kMostLevels = 1000;  // a path of "../" that long nears the system's limit
  for (int level = 0; level < kMostLevels; ++level, at = JoinGitPath(at, "..")) {
    platform::EntryKind kind;
    platform::FolderId id;
    std::string error;
    if (fs.LookUpPath(dir, at, &kind, &id, &error) != platform::LookupResult::kFound ||
        !id.IsKnown() || std::find(above->begin(), above->end(), id) != above->end()) {
      break;  // the top is its own parent
    }
    if (LooksLikeRepositoryFolder(fs, dir, at)) return false;
    above->push_back(id);
  }
  return true;
}

// Notes `id`, a folder or a file (named `file_name`), with the folders
// above it, as git's data; an unknown `id` for a file that is gone, which
// the walk may have deleted. One the walk leaves alone by its shape,
// whenever it meets it (`left_alone`), can't have been reached first.
void NoteAway(const platform::FolderId& id, std::vector<platform::FolderId> above,
              std::string file_name = std::string(), bool left_alone = false) {
  DataAway& known = GitDataAway();
  const bool file = !file_name.empty();
  std::vector<platform::FolderId>& ids = file ? known.files : known.folders;
  if (id.IsKnown()) {
    std::lock_guard<std::mutex> lock(known.mutex);
    if (std::find(ids.begin(), ids.end(), id) != ids.end()) return;
    ids.push_back(id);
    (file ? known.any_files : known.any).store(true);
  }
  if (!left_alone) platform::PerThread<NotedHere>().push_back({std::move(above), std::move(file_name)});
}

// The folder at `from` and every folder above it, up to the top of its
// file system, nearest first; as many as have an identity.
std::vector<platform::FolderId> FoldersUpFrom(platform::FileSystem& fs, const platform::Dir& dir,
                                              const std::string& from) {
  constexpr std::size_t kMostLevels = 1000;  // a path of "../" that long nears the system's limit
  std::vector<platform::FolderId> folders;
  platform::EntryKind kind;
  platform::FolderId id;
  std::string error;
  for (std::string up = from.empty() ? "." : from; folders.size() < kMostLevels;
       up = JoinGitPath(up, "..")) {
    if (fs.LookUpPath(dir, up, &kind, &id, &error) != platform::LookupResult::kFound ||
        !id.IsKnown() || (!folders.empty() && folders.back() == id)) {
      break;  // the top is its own parent
    }
    folders.push_back(id);
  }
  return folders;
}

// Lists the folder `at` of git's data into `entries`, empty where there is
// none; false, with the reason, where it can't be read.
bool ListGitFolder(platform::FileSystem& fs, const platform::Dir& dir, const std::string& at,
                   std::string_view base, platform::EntryList* entries, std::string* reason) {
  std::string error;
  switch (fs.ListFolderAt(dir, at, entries, &error)) {
    case platform::LookupResult::kFailed:
      *reason = "cannot read '" + Shown(at, base) + "': " + error;
      return false;
    case platform::LookupResult::kMissing:
      entries->Clear();
      break;
    case platform::LookupResult::kFound:
      break;
  }
  return true;
}

// Looks through the folder `name` of the git dir `git_dir` and the folders
// below it, links followed as git follows them, each folder once (links
// may lead round in a circle), never into a folder the git dir lies in
// (`..`, the work tree, `/`: no ref or module of its own is there, and
// git would go round in it): `visit` is shown each entry (its path,
// whether it is a link, whether it leads to a folder) and answers whether
// to look inside. False, with the reason, where a folder can't be listed
// or there are more than git's data ever holds.
bool LookThrough(platform::FileSystem& fs, const platform::Dir& dir, const std::string& git_dir,
                 const char* name, std::string_view base, std::string* reason, bool* whole,
                 const std::function<bool(const std::string&, bool, bool)>& visit) {
  constexpr std::size_t kMostFolders = 100000;
  platform::EntryKind kind;
  platform::FolderId id;
  std::string error;
  // The folders the git dir lies in, climbed to only once a link is met:
  // only a link can lead up there.
  std::vector<platform::FolderId> around;
  bool climbed = false;
  const auto lies_around = [&](const platform::FolderId& folder) {
    if (!climbed) around = FoldersUpFrom(fs, dir, git_dir);
    climbed = true;
    return std::find(around.begin(), around.end(), folder) != around.end();
  };
  std::set<std::pair<std::uint64_t, std::uint64_t>> listed;
  const std::string top = JoinGitPath(git_dir, name);
  std::vector<std::string> to_list{top};
  platform::EntryList entries;
  std::string text;
  while (!to_list.empty()) {
    const std::string at = std::move(to_list.back());
    to_list.pop_back();
    // A path that can't be followed (a link to itself, a folder this user
    // may not search) git passes over, and so does the walk; but reached
    // another way (a shorter chain of links) it may lead on: not all was
    // looked through.
    const platform::LookupResult found = fs.LookUpPath(dir, at, &kind, &id, &error);
    if (found == platform::LookupResult::kFailed) *whole = false;
    if (found != platform::LookupResult::kFound || kind != platform::EntryKind::kFolder ||
        (at == top && fs.ReadLinkText(dir, top, &text, &error) == platform::LookupResult::kFound &&
         lies_around(id)) ||
        (id.IsKnown() && !listed.insert({id.device, id.inode}).second)) {
      continue;
    }
    if (listed.size() > kMostFolders) {
      *reason = "'" + Shown(top, base) + "' leads to more than " +
                std::to_string(kMostFolders) + " folders";
      return false;
    }
    if (!ListGitFolder(fs, dir, at, base, &entries, reason)) return false;
    for (const platform::Entry& entry : entries.entries) {
      std::string below = JoinGitPath(at, entries.NameOf(entry));
      const bool link = entry.kind == platform::EntryKind::kLink;
      bool folder = entry.kind == platform::EntryKind::kFolder;
      if (link) {
        const platform::LookupResult target = fs.LookUpPath(dir, below, &kind, &id, &error);
        if (target == platform::LookupResult::kFailed) {
          *whole = false;
          continue;
        }
        folder = target == platform::LookupResult::kFound && kind == platform::EntryKind::kFolder;
        if (folder && lies_around(id)) continue;
      }
      if ((link || folder) && visit(below, link, folder)) to_list.push_back(std::move(below));
    }
  }
  return true;
}

// The links at the git dir's `name` (`objects`, `refs` or `logs`) and, but
// for `objects`, at any depth below it, into `folders` and `files` as they
// lead to folders or not: git reads and writes every ref and reflog
// through the links on its way, a branch's folder or a single reflog as
// much as `refs` itself. False, with the reason, where not all could be
// looked through: what was found is kept all the same.
bool LinksBelow(platform::FileSystem& fs, const platform::Dir& dir, const std::string& git_dir,
                const char* name, std::string_view base, std::vector<std::string>* folders,
                std::vector<std::string>* files, std::string* reason, bool* whole) {
  const std::string top = JoinGitPath(git_dir, name);
  std::string text;
  std::string error;
  if (fs.ReadLinkText(dir, top, &text, &error) == platform::LookupResult::kFound) {
    folders->push_back(top);
  }
  if (files == nullptr) return true;
  return LookThrough(fs, dir, git_dir, name, base, reason, whole,
                     [&](const std::string& at, bool link, bool folder) {
                       if (link) (folder ? folders : files)->push_back(at);
                       return folder;
                     });
}

// The git dirs this thread is noting the data of, outermost first.
struct GitDirsInHand {
  std::vector<platform::FolderId> ids;
  // How often one was met again below itself: what was noted on the way
  // rests on it, not yet wholly noted.
  unsigned long met_again = 0;
};

// The repositories whose data away from their git dirs was wholly noted in
// this run, by their common dirs' identities (`note`: from now on): every
// worktree of one leads to the same data again.
bool WhollyNoted(platform::FileSystem& fs, const platform::Dir& dir, const std::string& common,
                 bool note = false) {
  platform::EntryKind kind;
  platform::FolderId id;
  std::string error;
  if (fs.LookUpPath(dir, common.empty() ? "." : common, &kind, &id, &error) !=
          platform::LookupResult::kFound ||
      !id.IsKnown()) {
    return false;
  }
  DataAway& known = GitDataAway();
  std::lock_guard<std::mutex> lock(known.mutex);
  if (note) known.wholly_noted.insert({id.device, id.inode});
  return known.wholly_noted.count({id.device, id.inode}) > 0;
}

// Notes where the repository whose git dir is `path` and common dir
// `common` keeps data away from the git dir: the common dir, where it is
// another folder; what `objects`, `refs` and `logs`, and every link in the
// latter two, lead to (see LinksBelow); and what its index, config and
// packed refs lead to as links, which git reads and writes through. The
// same for the git dirs of every linked worktree (the walk may never meet
// its work tree) and of every submodule, checked out or not. Once a run
// per repository. False, with the reason, where not all could be looked
// through: what was found is noted all the same.
bool NoteDataAway(platform::FileSystem& fs, const platform::Dir& dir, const std::string& path,
                  const std::string& common, std::string_view base, std::string* reason) {
  // Noted before, by whichever thread: only what is noted now counts as
  // found by this judgement.
  const bool common_noted = WhollyNoted(fs, dir, common);
  if (common_noted && (path == common || WhollyNoted(fs, dir, path))) return true;
  // Submodule git dirs may lead to each other (links): one being noted
  // further up this thread's way is not begun again.
  platform::EntryKind kind;
  platform::FolderId id;
  std::string error;
  GitDirsInHand& dirs_in_hand = platform::PerThread<GitDirsInHand>();
  std::vector<platform::FolderId>& in_hand = dirs_in_hand.ids;
  if (fs.LookUpPath(dir, path.empty() ? "." : path, &kind, &id, &error) ==
          platform::LookupResult::kFound &&
      id.IsKnown() && std::find(in_hand.begin(), in_hand.end(), id) != in_hand.end()) {
    ++dirs_in_hand.met_again;
    return true;
  }
  const unsigned long met_again_before = dirs_in_hand.met_again;
  in_hand.push_back(id);
  struct Release {
    std::vector<platform::FolderId>& ids;
    ~Release() { ids.pop_back(); }
  } release{in_hand};
  std::vector<std::string> folders;
  // A common dir with a HEAD of its own is a repository folder, which the
  // walk leaves alone wherever it meets it, as it does one of that shape.
  if (common != path && !IsThere(fs, dir, JoinGitPath(common, "HEAD")) &&
      !HasCommonDirShape(fs, dir, common)) {
    folders.push_back(common);
  }
  std::vector<std::string> files = {JoinGitPath(common, "config"),
                                    JoinGitPath(common, "packed-refs")};
  std::vector<std::string> modules;
  // Whether all could be looked at: what could not be followed from here
  // may be followed when the repository is met another way.
  bool whole = true;
  // A git dir's own refs and reflogs (a linked worktree's `refs/worktree`,
  // `refs/bisect`), index, and submodules (`git submodule deinit` keeps
  // their git dirs; a name with `/` in it is a folder in a folder).
  const auto note_own = [&](const std::string& git_dir) {
    files.push_back(JoinGitPath(git_dir, "index"));
    return LinksBelow(fs, dir, git_dir, "refs", base, &folders, &files, reason, &whole) &&
           LinksBelow(fs, dir, git_dir, "logs", base, &folders, &files, reason, &whole) &&
           LookThrough(fs, dir, git_dir, "modules", base, reason, &whole,
                       [&](const std::string& at, bool, bool folder) {
                         if (!folder) return false;
                         if (!IsThere(fs, dir, JoinGitPath(at, "HEAD"))) return true;
                         modules.push_back(at);
                         return false;
                       });
  };
  // What was found is noted even where not all could be looked through.
  bool complete = true;
  if (!common_noted) {
    bool worktrees_noted = true;
    complete = LinksBelow(fs, dir, common, "objects", base, &folders, nullptr, reason, &whole) &&
               note_own(common) &&
               LookThrough(fs, dir, common, "worktrees", base, reason, &whole,
                           [&](const std::string& at, bool, bool folder) {
                             if (folder && worktrees_noted) worktrees_noted = note_own(at);
                             return false;
                           }) &&
               worktrees_noted;
  }
  // A git dir that is no worktree the common dir lists (GIT_COMMON_DIR).
  if (complete && path != common) complete = note_own(path);
  // Each judged as git judges it: one may be a linked worktree's git dir,
  // its refs in the common dir it names.
  for (std::size_t i = 0; complete && i < modules.size(); ++i) {
    GitPlace place;
    complete = JudgeGitDir(fs, dir, modules[i], base, &place, reason) != GitDirVerdict::kUnknown;
  }
  for (const std::string& folder : folders) {
    std::vector<platform::FolderId> above;
    if (fs.LookUpPath(dir, folder, &kind, &id, &error) == platform::LookupResult::kFound &&
        kind == platform::EntryKind::kFolder && id.IsKnown() &&
        FoldersFrom(fs, dir, JoinGitPath(folder, ".."), &above)) {
      NoteAway(id, std::move(above), std::string(), HasRefsOrLogsShape(fs, dir, folder));
    }
  }
  std::string text;
  for (const std::string& at : files) {
    if (fs.ReadLinkText(dir, at, &text, &error) != platform::LookupResult::kFound) continue;
    switch (fs.LookUpPath(dir, at, &kind, &id, &error)) {
      case platform::LookupResult::kFound:
        if (kind != platform::EntryKind::kFile) continue;
        break;
      case platform::LookupResult::kMissing:
        id = platform::FolderId();  // gone: maybe deleted by the walk before
        break;
      case platform::LookupResult::kFailed:
        whole = false;
        continue;
    }
    // The folder the file lies in at the end of the links, and its name.
    std::string file_name;
    const std::string target_folder = FinalTarget(fs, dir, at, &file_name);
    std::vector<platform::FolderId> above;
    if (!file_name.empty() && FoldersFrom(fs, dir, target_folder, &above)) {
      NoteAway(id, std::move(above), std::move(file_name));
    }
  }
  // Only once all is noted may another thread pass it by.
  // Not where it rests on one still in hand (a submodule leading back to
  // a git dir being noted): that one may yet fall short.
  if (complete && whole && dirs_in_hand.met_again == met_again_before) {
    WhollyNoted(fs, dir, common, /*note=*/true);
    WhollyNoted(fs, dir, path, /*note=*/true);
  }
  return complete;
}

}  // namespace

unsigned long GitDataNotedHere() { return platform::PerThread<NotedHere>().size(); }

bool GitDataNotedHereWithin(unsigned long since, const std::vector<platform::FolderId>& roots,
                            const platform::FolderId& repository,
                            const std::function<bool(std::string_view)>& may_go) {
  const NotedHere& noted = platform::PerThread<NotedHere>();
  for (std::size_t i = since; i < noted.size(); ++i) {
    const std::vector<platform::FolderId>& above = noted[i].above;
    const auto lies_in = [&](const platform::FolderId& folder) {
      return std::find(above.begin(), above.end(), folder) != above.end();
    };
    if (std::any_of(roots.begin(), roots.end(), lies_in) && !lies_in(repository) &&
        (noted[i].file_name.empty() || may_go(noted[i].file_name))) {
      return true;
    }
  }
  return false;
}

bool IsGitDataElsewhere(const platform::FolderId& id) {
  DataAway& known = GitDataAway();
  if (!known.any.load()) return false;
  std::lock_guard<std::mutex> lock(known.mutex);
  return std::find(known.folders.begin(), known.folders.end(), id) != known.folders.end();
}

bool LiesInGitDataElsewhere(platform::FileSystem& fs, const platform::Dir& dir) {
  if (!GitDataAway().any.load()) return false;
  const std::vector<platform::FolderId> folders = FoldersUpFrom(fs, dir, ".");
  return std::any_of(folders.begin(), folders.end(), IsGitDataElsewhere);
}

bool AnyGitFileElsewhere() { return GitDataAway().any_files.load(); }

bool IsGitFileElsewhere(std::uint64_t device, std::uint64_t inode) {
  DataAway& known = GitDataAway();
  if (!known.any_files.load()) return false;
  std::lock_guard<std::mutex> lock(known.mutex);
  return std::any_of(known.files.begin(), known.files.end(), [&](const platform::FolderId& id) {
    return id.device == device && id.inode == inode;
  });
}

void SetGitDirEnvironment(GitDirEnvironment environment) {
  DirEnvironment() = std::move(environment);
}

bool MayBeGitDir(bool head, bool objects, bool refs, bool commondir) {
  const GitDirEnvironment& environment = DirEnvironment();
  if (!head) return objects && refs;  // a common dir's shape
  if (commondir || !environment.common_dir.empty()) return true;
  return (objects || environment.objects_elsewhere) && refs;
}

GitDirVerdict JudgeGitDir(platform::FileSystem& fs, const platform::Dir& dir,
                          const std::string& path, std::string_view base, GitPlace* place,
                          std::string* reason) {
  const GitDirEnvironment& environment = DirEnvironment();
  std::string head;
  const std::string head_path = JoinGitPath(path, "HEAD");
  std::string head_error;
  // Git reads a HEAD that is a link by its text alone, wherever it leads (a
  // branch only packed-refs holds leaves it leading nowhere); any other
  // HEAD by what it holds.
  platform::LookupResult found = fs.ReadLinkText(dir, head_path, &head, &head_error);
  if (found == platform::LookupResult::kFound) {
    head.insert(0, "ref: ");
  } else if (found == platform::LookupResult::kFailed) {
    *reason = "cannot read '" + Shown(head_path, base) + "': " + head_error;
    return GitDirVerdict::kUnknown;
  } else {
    // Whether there is a HEAD at all needs no descriptor: with none to
    // spare, a folder without one is still told from a repository.
    platform::EntryKind head_kind;
    platform::FolderId head_id;
    found = fs.LookUpPath(dir, head_path, &head_kind, &head_id, &head_error);
    if (found == platform::LookupResult::kFound && head_kind == platform::EntryKind::kFolder) {
      found = platform::LookupResult::kMissing;  // read as a file, a folder is none
    } else if (found != platform::LookupResult::kMissing) {
      found = ReadSmallFile(fs, dir, head_path, base, &head, reason);
    }
  }
  switch (found) {
    case platform::LookupResult::kFailed:
      return GitDirVerdict::kUnknown;
    case platform::LookupResult::kMissing:
      *reason = "it has no HEAD";
      return GitDirVerdict::kNoHead;
    case platform::LookupResult::kFound:
      break;
  }
  if (!IsValidHead(head)) {
    *reason = "'" + Shown(head_path, base) + "' names no branch or commit";
    // Beside objects and refs, or a commondir, though, it is git's data
    // whose HEAD was damaged (emptied by a crash, say), one line away from
    // its refs again.
    const bool data = IsThere(fs, dir, JoinGitPath(path, "commondir")) ||
                      ((environment.objects_elsewhere ||
                        IsThere(fs, dir, JoinGitPath(path, "objects"))) &&
                       IsThere(fs, dir, JoinGitPath(path, "refs")));
    return data ? GitDirVerdict::kUnknown : GitDirVerdict::kBroken;
  }
  // A linked worktree's git dir keeps its objects and refs in the common
  // dir; GIT_COMMON_DIR names one for every git dir, its commondir unread.
  std::string common = environment.common_dir.empty() ? path : environment.common_dir;
  std::string text;
  switch (environment.common_dir.empty()
              ? ReadSmallFile(fs, dir, JoinGitPath(path, "commondir"), base, &text, reason)
              : platform::LookupResult::kMissing) {
    case platform::LookupResult::kFailed:
      return GitDirVerdict::kUnknown;
    case platform::LookupResult::kMissing:
      break;
    case platform::LookupResult::kFound: {
      const std::string_view line = PathInLine(text);
      common = platform::IsAbsolutePath(line) ? std::string(line) : JoinGitPath(path, line);
      break;
    }
  }
  for (const std::string_view name : {"objects", "refs"}) {
    // GIT_OBJECT_DIRECTORY: git asks only that it may search that folder,
    // and a folder there that can't be searched is taken for one all the
    // same, keeping what may be git's.
    if (name == "objects" && environment.objects_elsewhere) continue;
    const std::string at = JoinGitPath(common, name);
    platform::EntryKind kind;
    platform::FolderId id;
    std::string error;
    switch (fs.LookUpPath(dir, at, &kind, &id, &error)) {
      case platform::LookupResult::kFailed:
        *reason = "cannot read '" + Shown(at, base) + "': " + error;
        return GitDirVerdict::kUnknown;
      case platform::LookupResult::kMissing:
        *reason = "it has no '" + Shown(at, base) + "'";
        // A link to where the data was (moved, or not mounted now), or a
        // commondir naming where it was: git's data all the same, which git
        // can't use now.
        if (common != path) return GitDirVerdict::kUnknown;
        if (fs.ReadLinkText(dir, at, &error, &error) != platform::LookupResult::kMissing) {
          *reason = "'" + Shown(at, base) + "' leads nowhere";
          return GitDirVerdict::kUnknown;
        }
        return GitDirVerdict::kBroken;
      case platform::LookupResult::kFound:
        break;
    }
  }
  if (!NoteDataAway(fs, dir, path, common, base, reason)) return GitDirVerdict::kUnknown;
  place->git_dir = path;
  place->common_dir = std::move(common);
  place->head = std::string(TrimLine(head));
  return GitDirVerdict::kRepository;
}

GitDirVerdict JudgeGitData(platform::FileSystem& fs, const platform::Dir& dir,
                           const std::string& path, std::string_view base, GitPlace* place,
                           std::string* reason, bool* by_shape) {
  const GitDirVerdict verdict = JudgeGitDir(fs, dir, path, base, place, reason);
  if (by_shape != nullptr) *by_shape = false;
  if (verdict == GitDirVerdict::kNoHead && HasCommonDirShape(fs, dir, path)) {
    if (!NoteDataAway(fs, dir, path, path, base, reason)) return GitDirVerdict::kUnknown;
  } else if ((verdict != GitDirVerdict::kNoHead && verdict != GitDirVerdict::kBroken) ||
             !HasRefsOrLogsShape(fs, dir, path)) {
    return verdict;
  }
  reason->clear();
  if (by_shape != nullptr) *by_shape = true;
  return GitDirVerdict::kRepository;
}

WorkTreeVerdict JudgeDotGit(platform::FileSystem& fs, const platform::Dir& dir,
                            std::string_view base, GitPlace* place, std::string* reason) {
  const std::string dot_git = JoinGitPath(base, ".git");
  platform::EntryKind kind;
  platform::FolderId id;
  std::string error;
  switch (fs.LookUpPath(dir, dot_git, &kind, &id, &error)) {
    case platform::LookupResult::kMissing:
      return WorkTreeVerdict::kNone;  // none, or a link to nothing: git passes over both
    case platform::LookupResult::kFailed:
      *reason = "cannot read '.git': " + error;
      return WorkTreeVerdict::kUnknown;
    case platform::LookupResult::kFound:
      break;
  }
  if (kind == platform::EntryKind::kFolder) {
    switch (JudgeGitDir(fs, dir, dot_git, base, place, reason)) {
      case GitDirVerdict::kRepository:
        return WorkTreeVerdict::kWorkTree;
      case GitDirVerdict::kNoHead:
        // An empty `.git` folder: git passes over it to the folders above,
        // and so does its reason.
        reason->clear();
        return WorkTreeVerdict::kNone;
      case GitDirVerdict::kBroken:
        // Git passes over this one too, but a HEAD says it was meant as a
        // repository: what it tracked can't be told.
        *reason = "'.git' is no git repository: " + *reason;
        return WorkTreeVerdict::kUnknown;
      case GitDirVerdict::kUnknown:
        return WorkTreeVerdict::kUnknown;
    }
  }
  // A worktree's or submodule's `.git` file names its git dir.
  std::string text;
  if (ReadSmallFile(fs, dir, dot_git, base, &text, reason) != platform::LookupResult::kFound) {
    if (reason->empty()) *reason = "'.git' is gone";
    return WorkTreeVerdict::kUnknown;
  }
  const std::string_view named = GitDirInFile(text);
  if (named.empty()) {
    *reason = "'.git' is a file that does not name a git dir";
    return WorkTreeVerdict::kUnknown;
  }
  const std::string git_dir =
      platform::IsAbsolutePath(named) ? std::string(named) : JoinGitPath(base, named);
  std::string why;
  if (JudgeGitDir(fs, dir, git_dir, base, place, &why) == GitDirVerdict::kRepository) {
    return WorkTreeVerdict::kWorkTree;
  }
  // A moved main repository, a gitdir to nowhere: git refuses to work here.
  *reason = "'.git' names '" + std::string(named) + "', which is no git repository: " + why;
  return WorkTreeVerdict::kUnknown;
}

namespace {

// What the settings around every repository's own set core.ignorecase to.
// Set once, before any repository is read.
struct AroundRepositories {
  std::string home;  // where "~/" leads in an include path
  GitConfig before;  // the system's and the user's files
  GitConfig after;   // the settings given in the environment
  bool always = false;  // one of them can't be used: git fails, and tells nothing
};

AroundRepositories& Around() {
  static AroundRepositories around;
  return around;
}

// Git follows includes this deep, and fails past it.
constexpr int kMostIncludeDepth = 10;

// Where git reads the include path `path`, written in the config file
// `file` (empty for one given in the environment): "~/" from the home
// folder, then a relative one from the file's folder. False where this
// can't tell: "~user", no home, a relative path given in the environment.
bool IncludedPath(std::string path, const std::string& file, std::string* included) {
  if (!path.empty() && path[0] == '~') {
    if (path.rfind("~/", 0) != 0 || Around().home.empty()) return false;
    path = JoinGitPath(Around().home, path.substr(2));
  }
  if (platform::IsAbsolutePath(path)) {
    *included = path;
    return true;
  }
  if (file.empty()) return false;
  const std::size_t slash = file.rfind('/');
  *included = slash == std::string::npos ? path : JoinGitPath(file.substr(0, slash), path);
  return true;
}

// Reads what an include that can't be told would set: core.ignorecase on,
// the side that keeps more.
void AssumeCaseBlind(GitConfig* included) {
  included->ignore_case = true;
  included->ignore_case_set = true;
}

// Reads the config file `file` (through `dir`; shown from `base`) into
// `config`, its includes followed for core.ignorecase. A missing one sets
// nothing, as git takes it. False, with the reason, where git would fail.
bool ReadConfigFile(platform::FileSystem& fs, const platform::Dir& dir, const std::string& file,
                    std::string_view base, GitConfig* config, std::string* reason, int depth = 0) {
  std::unique_ptr<platform::FileSystem::FileBytes> bytes;
  std::string error;
  // Read whatever its size, as git reads it: mapped, so it costs what it holds.
  const platform::LookupResult read =
      fs.MapWholeFile(dir, file, std::numeric_limits<std::size_t>::max(), &bytes, &error);
  if (read == platform::LookupResult::kFailed) {
    *reason = "cannot read '" + Shown(file, base) + "': " + error;
    return false;
  }
  if (read == platform::LookupResult::kMissing) return true;
  const GitConfigIncludes includes = [&](const std::string& path, GitConfig* included,
                                         std::string* why) {
    if (depth >= kMostIncludeDepth) {
      *why = "its includes go deeper than git follows them";
      return false;
    }
    std::string resolved;
    if (!IncludedPath(path, file, &resolved)) {
      AssumeCaseBlind(included);
      return true;
    }
    return ReadConfigFile(fs, dir, resolved, base, included, why, depth + 1);
  };
  if (!ParseGitConfig(bytes->bytes(), config, &error, &includes)) {
    *reason = "cannot use '" + Shown(file, base) + "': " + error;
    return false;
  }
  return true;
}

// Reads the repository's settings; false, with the reason, when they can't
// be read or say this program can't read its index.
bool ReadSettings(platform::FileSystem& fs, const platform::Dir& dir, std::string_view base,
                  const GitPlace& place, GitConfig* config, std::string* reason) {
  if (!ReadConfigFile(fs, dir, JoinGitPath(place.common_dir, "config"), base, config, reason)) {
    return false;
  }
  // Without a format version git takes none of the repository's format
  // from the file: no core.worktree, no extensions. A version it does not
  // know makes no repository it works in.
  if (config->format_version == -1) {
    config->work_tree.clear();
    config->bare = false;
    config->worktree_config = false;
    config->object_format.clear();
  } else if (config->format_version > 1) {
    *reason = "its repository format version is " + std::to_string(config->format_version) +
              ", which git does not read";
    return false;
  }
  // A work tree's own settings (the main one's too) come after the shared
  // ones, where the repository has them turned on.
  if (config->worktree_config &&
      !ReadConfigFile(fs, dir, JoinGitPath(place.git_dir, "config.worktree"), base, config, reason)) {
    return false;
  }
  // A linked work tree's git dir (one with a common dir) takes no
  // core.worktree from the shared settings: git ignores it there, unless
  // work trees have settings of their own.
  if (place.common_dir != place.git_dir && !config->worktree_config) config->work_tree.clear();
  // Nor core.bare: a linked work tree is one whatever its repository is.
  if (place.common_dir != place.git_dir) config->bare = false;
  if (!config->object_format.empty() && config->object_format != "sha1") {
    *reason = "its repository uses the object format '" + config->object_format +
              "', whose index this program does not read";
    return false;
  }
  // Around the repository's own settings: the system's and the user's
  // before them, those given in the environment after.
  const AroundRepositories& around = Around();
  GitConfig layered = around.before;
  FollowIgnoreCase(*config, false, &layered);
  FollowIgnoreCase(around.after, false, &layered);
  config->ignore_case = layered.ignore_case || around.always;
  return true;
}

// Whether the repository's HEAD may name a commit: then files were
// committed, and with no index git's own answer is unknown. Anything that
// can't be read counts as a commit.
bool HeadMayNameCommit(platform::FileSystem& fs, const platform::Dir& dir, const GitPlace& place) {
  const std::string_view ref = SymbolicTarget(place.head);
  if (ref.empty()) return true;  // an object id
  platform::EntryKind kind;
  platform::FolderId id;
  std::string error;
  if (fs.LookUpPath(dir, JoinGitPath(place.common_dir, ref), &kind, &id, &error) !=
          platform::LookupResult::kMissing ||
      fs.LookUpPath(dir, JoinGitPath(place.common_dir, "reftable"), &kind, &id, &error) !=
          platform::LookupResult::kMissing) {
    return true;
  }
  std::unique_ptr<platform::FileSystem::FileBytes> packed;
  switch (fs.MapWholeFile(dir, JoinGitPath(place.common_dir, "packed-refs"),
                          std::numeric_limits<std::size_t>::max(), &packed, &error)) {
    case platform::LookupResult::kMissing:
      return false;
    case platform::LookupResult::kFailed:
      return true;
    case platform::LookupResult::kFound:
      break;
  }
  // "<object id> <name>" a line.
  const std::string_view text = packed->bytes();
  const std::string needle = " " + std::string(ref);
  for (std::size_t at = text.find(needle); at != std::string_view::npos;
       at = text.find(needle, at + 1)) {
    const std::size_t end = at + needle.size();
    if (end == text.size() || text[end] == '\n' || text[end] == '\r') return true;
  }
  return false;
}

}  // namespace

namespace {

// The folder core.worktree names, beside the top that holds `.git`: git
// lists the index's paths from that folder (as it does for a repository
// its discovery finds, and that names one), and a file either reading
// tracks is kept. Each path is stored a second time as seen from the top.
struct BesideTop {
  enum class Kind {
    kNone,   // no other folder
    kBelow,  // it lies below the top, at `path`
    kAbove,  // the top lies below it, at `path`
    kApart,  // neither: none of its files is below the top
  } kind = Kind::kNone;
  std::string path;  // with a `/` after it
  std::string folder;  // its shown path
  // Where the top was found on the way down, its paths outside the top
  // are counted: the run may have reached them before.
  bool counts = false;
  std::size_t elsewhere = 0;

  // Adds the index's `entry`, a path from the folder, to `set` as seen
  // from the top; counts it where it lies outside the top.
  void Add(std::string_view entry, PathSet* set) {
    switch (kind) {
      case Kind::kNone:
        return;
      case Kind::kBelow:
        scratch_.assign(path).append(entry.data(), entry.size());
        set->Add(scratch_);
        return;
      case Kind::kAbove:
        if (entry.substr(0, path.size()) == path) {
          set->Add(entry.substr(path.size()));
          return;
        }
        break;
      case Kind::kApart:
        break;
    }
    if (counts) ++elsewhere;
  }

 private:
  std::string scratch_;
};

// The folder a repository's core.worktree, `named`, names, from its git
// dir `git_dir`, as git finds it: git changes into the git dir and then
// into `named`, so a link on the way is followed before any ".." after it.
// Hence the physical path, never the text made shorter ("link/.." is the
// folder above the link's target, not the link's own).
platform::LookupResult FindCoreWorkTree(platform::FileSystem& fs, const std::string& git_dir,
                                        const std::string& named, std::string* folder,
                                        std::string* reason) {
  std::string error;
  const std::string path = platform::IsAbsolutePath(named) ? named : JoinGitPath(git_dir, named);
  const platform::LookupResult found =
      platform::IsAbsolutePath(path) ? fs.PhysicalFolderPath(path, folder, &error)
                                     : platform::LookupResult::kFailed;
  if (found == platform::LookupResult::kFailed) {
    *reason = error.empty() ? "its work tree '" + named + "' (core.worktree) can't be placed"
                            : "cannot find its work tree '" + named + "' (core.worktree): " + error;
  }
  return found;
}

// Places the folder the repository at `place` names in core.worktree
// (`named`) beside the top. False, with the reason, when where it is can't
// be told.
bool PlaceBesideTop(platform::FileSystem& fs, const GitPlace& place, const std::string& named,
                    const WorkTreeTop& top, BesideTop* beside, std::string* reason) {
  const std::string git_dir = platform::IsAbsolutePath(place.git_dir)
                                  ? place.git_dir
                                  : JoinGitPath(top.dir_path, place.git_dir);
  switch (FindCoreWorkTree(fs, git_dir, named, &beside->folder, reason)) {
    case platform::LookupResult::kMissing:
      return true;  // git refuses a work tree that is not there: it has no files
    case platform::LookupResult::kFailed:
      return false;
    case platform::LookupResult::kFound:
      break;
  }
  std::string rest;
  if (beside->folder == top.top_path) return true;
  if (IsWithin(beside->folder, top.top_path, &rest)) {
    beside->kind = BesideTop::Kind::kBelow;
  } else if (IsWithin(top.top_path, beside->folder, &rest)) {
    beside->kind = BesideTop::Kind::kAbove;
  } else {
    beside->kind = BesideTop::Kind::kApart;
  }
  if (!rest.empty()) beside->path = rest + "/";
  return true;
}

// Loads what the repository at `place` tracks, its index at `index_path`
// (its own `index` when empty), and where `top` is given, read from the
// folder its core.worktree names too.
std::shared_ptr<const TrackedFiles> LoadRepository(platform::FileSystem& fs,
                                                   const platform::Dir& dir, std::string_view base,
                                                   const GitPlace& place, std::string index_path,
                                                   const WorkTreeTop* top = nullptr,
                                                   TrackedElsewhere* elsewhere = nullptr,
                                                   GitConfig* settings = nullptr,
                                                   bool discovered = false) {
  GitConfig config;
  std::string reason;
  if (!ReadSettings(fs, dir, base, place, &config, &reason)) return TrackedFiles::Unreadable(reason);
  if (settings != nullptr) *settings = config;
  BesideTop beside;
  beside.counts = elsewhere != nullptr;
  if (top != nullptr && !config.work_tree.empty() &&
      !PlaceBesideTop(fs, place, config.work_tree, *top, &beside, &reason)) {
    return TrackedFiles::Unreadable(reason);
  }
  // Unreadable or not, what it says holds there too.
  if (elsewhere != nullptr && (beside.kind == BesideTop::Kind::kApart ||
                              beside.kind == BesideTop::Kind::kAbove)) {
    elsewhere->outside = beside.folder;
  }
  if (elsewhere != nullptr && elsewhere->outside_only && elsewhere->outside.empty()) {
    return TrackedFiles::FromIndex(GitIndexContent(), config.ignore_case);
  }
  // Where what it tracks can't be told and its work tree lies outside a
  // top found on the way down, the run can't vouch for what it reached
  // there either, nor may the root, cleaned last, delete anything there.
  const auto unreadable = [&](const std::string& why) {
    if (beside.counts && (beside.kind == BesideTop::Kind::kApart ||
                          beside.kind == BesideTop::Kind::kAbove)) {
      elsewhere->folder = beside.folder;
      elsewhere->reason = "the repository in '" + top->top_path +
                          "' takes it as its work tree (core.worktree) but was found only on the "
                          "way down, and what it tracks can't be told: " + why;
    }
    return TrackedFiles::Unreadable(why);
  };
  if (index_path.empty()) index_path = JoinGitPath(place.git_dir, "index");
  std::unique_ptr<platform::FileSystem::FileBytes> bytes;
  std::string error;
  switch (fs.MapWholeFile(dir, index_path, kMostGitIndexBytes, &bytes, &error)) {
    case platform::LookupResult::kFailed:
      return unreadable("cannot read '" + Shown(index_path, base) + "': " + error);
    case platform::LookupResult::kMissing:
      // A repository where nothing was ever added has no index yet; one
      // whose HEAD names a commit had one, and lost it. A bare one, found
      // by discovery (a `.git` file naming it), never had one: git works
      // in no work tree there. (One with an index, core.bare set by
      // mistake, still tracks what `git ls-files` lists.)
      if (discovered && config.bare && config.work_tree.empty()) {
        return TrackedFiles::FromIndex(GitIndexContent(), config.ignore_case);
      }
      if (HeadMayNameCommit(fs, dir, place)) {
        return unreadable("'" + Shown(index_path, base) + "' is missing, yet HEAD may name a commit");
      }
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
        fs.MapWholeFile(dir, path, kMostGitIndexBytes, &shared_bytes, &failure);
    if (read == platform::LookupResult::kFound) {
      *shared = shared_bytes->bytes();
      return true;
    }
    *why = "its shared index '" + Shown(path, base) + "' " +
           (read == platform::LookupResult::kMissing ? "is missing" : "can't be read: " + failure);
    return false;
  };
  // Each path goes straight into its set as it is read; nothing of the
  // index is held once it is.
  class SetSink final : public GitIndexSink {
   public:
    SetSink(bool ignore_case, BesideTop* beside)
        : paths(ignore_case), sparse_folders(ignore_case), beside_(beside) {}
    void Expect(std::size_t count) override {
      paths.Reserve(beside_->kind == BesideTop::Kind::kNone ? count : 2 * count);
    }
    void Add(std::string_view path, bool sparse_folder) override {
      PathSet& set = sparse_folder ? sparse_folders : paths;
      set.Add(path);
      beside_->Add(path, &set);
    }
    PathSet paths;
    PathSet sparse_folders;

   private:
    BesideTop* beside_;
  } sink(config.ignore_case, &beside);
  const bool read = ReadGitIndex(bytes->bytes(), read_shared, &sink, &error);
  bytes.reset();
  if (!read) return unreadable("cannot use '" + Shown(index_path, base) + "': " + error);
  if (beside.elsewhere > 0 && elsewhere != nullptr) {
    elsewhere->folder = beside.folder;
    elsewhere->reason = "the repository in '" + top->top_path +
                        "' takes it as its work tree (core.worktree) but was found only on the "
                        "way down, so the " + std::to_string(beside.elsewhere) +
                        " paths it tracks outside that folder were not known where the run "
                        "may have reached them first";
  }
  return std::make_shared<const TrackedFiles>(std::move(sink.paths), std::move(sink.sparse_folders),
                                              std::string());
}

std::shared_ptr<const TrackedFiles> Load(platform::FileSystem& fs, const platform::Dir& dir,
                                         std::string_view base, const WorkTreeTop* top,
                                         TrackedElsewhere* elsewhere) {
  GitPlace place;
  std::string reason;
  switch (JudgeDotGit(fs, dir, base, &place, &reason)) {
    case WorkTreeVerdict::kNone:
      return nullptr;
    case WorkTreeVerdict::kUnknown:
      return TrackedFiles::Unreadable(reason);
    case WorkTreeVerdict::kWorkTree:
      break;
  }
  return LoadRepository(fs, dir, base, place, std::string(), top, elsewhere, nullptr, true);
}

std::shared_ptr<const TrackedFiles> LoadGuarded(platform::FileSystem& fs, const platform::Dir& dir,
                                                std::string_view base,
                                                const WorkTreeTop* top = nullptr,
                                                TrackedElsewhere* elsewhere = nullptr) {
  try {
    return Load(fs, dir, base, top, elsewhere);
  } catch (const std::bad_alloc&) {
    // Keeping every file of the work tree needs no memory to speak of.
    return TrackedFiles::Unreadable("there is not enough memory to hold its index");
  } catch (const std::length_error&) {
    return TrackedFiles::Unreadable("its index is too large to hold");
  }
}

// How many levels above a start shown as `start_path` discovery may look:
// it never climbs into a ceiling folder (GIT_CEILING_DIRECTORIES) above it.
int LevelsBelowCeiling(std::string_view start_path, const std::vector<std::string>& ceilings) {
  int levels = std::numeric_limits<int>::max();
  std::string rest;
  for (const std::string& ceiling : ceilings) {
    if (!IsWithin(start_path, ceiling, &rest) || rest.empty()) continue;  // not above the start
    const int names = 1 + static_cast<int>(std::count(rest.begin(), rest.end(), '/'));
    levels = std::min(levels, names);
  }
  return levels;
}

// The work tree found `levels` above a start shown as `start_path`.
EnclosingWorkTree WorkTreeAbove(std::string_view start_path, int levels,
                                std::shared_ptr<const TrackedFiles> tracked) {
  EnclosingWorkTree tree;
  tree.top_path = levels == 0 ? std::string(start_path) : PathAbove(start_path, levels);
  if (tree.top_path.empty()) {
    tree.top_path = std::string(start_path);
    tree.tracked = TrackedFiles::Unreadable("the work tree above it is more levels up than its "
                                            "path shows");
    return tree;
  }
  tree.tracked = std::move(tracked);
  // The index names folders with '/', whatever the system shows. The top
  // is the start's path cut short, so the start lies within it.
  IsWithin(start_path, tree.top_path, &tree.relative_path);
  return tree;
}

}  // namespace

bool ParseGitConfig(std::string_view text, GitConfig* config, std::string* error,
                    const GitConfigIncludes* includes) {
  error->clear();
  return ConfigParser(text, config, includes).Parse(error);
}

bool ParseGitBool(std::string_view value, bool* result) {
  const std::string lower = Lowercase(value);
  if (lower == "true" || lower == "yes" || lower == "on") {
    *result = true;
  } else if (lower.empty() || lower == "false" || lower == "no" || lower == "off") {
    *result = false;
  } else if (long number = 0; ParseGitInt(lower, &number)) {
    *result = number != 0;
  } else {
    return false;
  }
  return true;
}

void SetGitUserConfig(platform::FileSystem& fs, const platform::Dir& dir, const GitUserConfig& user) {
  AroundRepositories& around = Around();
  around = AroundRepositories();
  around.home = user.home;
  for (const std::string& file : user.files) {
    GitConfig config;
    std::string ignored;
    if (!ReadConfigFile(fs, dir, file, "", &config, &ignored)) {
      around.always = true;  // git fails on it, and tells nothing
    }
    FollowIgnoreCase(config, false, &around.before);
  }
  if (user.unsure) around.always = true;
  for (const GitUserConfig::Setting& setting : user.settings) {
    const std::string key = Lowercase(setting.key);
    // An include given so (`git -c include.path=…`) is read as one in a file.
    const bool include = key == "include.path";
    const bool include_if = key.rfind("includeif.", 0) == 0 && key.size() > 15 &&
                            key.compare(key.size() - 5, 5, ".path") == 0;
    if (include || include_if) {
      GitConfig included;
      std::string path;
      std::string ignored;
      if (!setting.has_value || !IncludedPath(setting.value, "", &path)) {
        AssumeCaseBlind(&included);
      } else if (!ReadConfigFile(fs, dir, path, "", &included, &ignored)) {
        around.always = true;
      }
      FollowIgnoreCase(included, include_if, &around.after);
      continue;
    }
    if (key != "core.ignorecase") continue;
    GitConfig given;
    given.ignore_case_set = true;
    given.ignore_case = true;  // a key with no value, as a boolean
    if (setting.has_value && !ParseGitBool(setting.value, &given.ignore_case)) around.always = true;
    FollowIgnoreCase(given, false, &around.after);
  }
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
  return !unreadable_reason_.empty() || paths_.Contains(relative_path);
}

std::string_view TrackedFiles::SparseFolderOf(std::string_view relative_path) const {
  if (sparse_folders_.size() == 0) return {};
  // Each folder on the way, "a/", "a/b/", might be a sparse folder entry.
  for (std::size_t slash = relative_path.find('/'); slash != std::string_view::npos;
       slash = relative_path.find('/', slash + 1)) {
    if (sparse_folders_.Contains(relative_path.substr(0, slash + 1))) {
      return relative_path.substr(0, slash + 1);
    }
  }
  return {};
}

std::shared_ptr<const TrackedFiles> LoadTrackedFiles(platform::FileSystem& fs,
                                                     const platform::Dir& work_tree,
                                                     const WorkTreeTop* top,
                                                     TrackedElsewhere* elsewhere) {
  return LoadGuarded(fs, work_tree, "", top, elsewhere);
}

namespace {

// The work tree git's discovery finds from the folder `dir` (the start):
// how many levels up, with its repository's place and the `..` path to it
// in `base`; -1 for none, with `reason` set when that can't be told. It
// stops at a ceiling and, unless allowed, at the start's file system.
int FindGitsOwnWorkTree(platform::FileSystem& fs, const platform::Dir& dir,
                        const GitEnvironment& environment, GitPlace* place, std::string* base,
                        std::string* reason) {
  const int below_ceiling = LevelsBelowCeiling(environment.start, environment.ceilings);
  platform::FolderId start_id;
  int found_at = -1;
  std::string failure;
  const bool climbed = ClimbFromFolder(
      fs, dir, MostLevelsAbove(environment.start),
      [&](const ClimbStep& step) {
        if (step.levels == 0) start_id = step.id;
        if (step.levels > 0 &&
            (step.levels >= below_ceiling ||
             (!environment.across_file_systems && step.id.device != start_id.device))) {
          return false;
        }
        switch (JudgeDotGit(fs, dir, step.path, place, reason)) {
          case WorkTreeVerdict::kNone:
            return true;
          case WorkTreeVerdict::kWorkTree:
            found_at = step.levels;
            *base = step.path;
            return false;
          case WorkTreeVerdict::kUnknown:
            return false;
        }
        return false;
      },
      &failure);
  if (!climbed && found_at < 0 && reason->empty()) {
    *reason = "a folder above it can't be reached: " + failure;
  }
  return found_at;
}

}  // namespace

// The index GIT_INDEX_FILE names, where git reads it: a relative one from
// the work tree's top `top`, where git has moved before it reads, when the
// start lies in it; else from the start.
std::string NamedIndexFile(const GitEnvironment& environment, const std::string& top) {
  const std::string& index = environment.index_file;
  if (index.empty() || platform::IsAbsolutePath(index)) return index;
  return JoinGitPath(IsWithin(environment.start, top) ? top : environment.start, index);
}

NamedWorkTree LoadNamedWorkTree(platform::FileSystem& fs, const platform::Dir& dir,
                                const GitEnvironment& environment) {
  NamedWorkTree named;
  named.top_path = environment.start;
  try {
    GitPlace place;
    std::string reason;
    if (environment.git_dir.empty()) {
      // GIT_INDEX_FILE or GIT_WORK_TREE alone: the index or the work tree
      // of the repository git's own discovery finds from where it was
      // started.
      std::string base;
      const int found_at = FindGitsOwnWorkTree(fs, dir, environment, &place, &base, &reason);
      if (found_at < 0) {
        named.tracked = reason.empty() ? nullptr : TrackedFiles::Unreadable(reason);
        return named;
      }
      named.top_path = found_at == 0 ? environment.start : PathAbove(environment.start, found_at);
      // GIT_WORK_TREE puts the work tree of the repository found there;
      // else its core.worktree counts, beside the folder it was found in.
      WorkTreeTop top;
      top.dir_path = environment.start;
      top.top_path = named.top_path;
      const bool beside = environment.work_tree.empty() && !named.top_path.empty();
      if (!environment.work_tree.empty()) named.top_path = environment.work_tree;
      named.tracked = LoadRepository(fs, dir, base, place,
                                     NamedIndexFile(environment, named.top_path),
                                     beside ? &top : nullptr);
      return named;
    }
    // GIT_DIR may name a `.git` file, which git follows to the git dir it
    // names (from the file's folder, where relative).
    std::string git_dir = environment.git_dir;
    platform::EntryKind kind;
    platform::FolderId id;
    std::string text;
    if (fs.LookUpPath(dir, git_dir, &kind, &id, &reason) == platform::LookupResult::kFound &&
        kind == platform::EntryKind::kFile &&
        ReadSmallFile(fs, dir, git_dir, "", &text, &reason) == platform::LookupResult::kFound) {
      const std::string_view named_dir = GitDirInFile(text);
      if (!named_dir.empty()) {
        git_dir = platform::IsAbsolutePath(named_dir) ? std::string(named_dir)
                                                      : JoinGitPath(PathAbove(git_dir, 1), named_dir);
      }
    }
    reason.clear();
    switch (JudgeGitDir(fs, dir, git_dir, "", &place, &reason)) {
      case GitDirVerdict::kRepository:
        break;
      case GitDirVerdict::kUnknown:
        named.tracked = TrackedFiles::Unreadable(reason);
        return named;
      default:
        named.tracked = TrackedFiles::Unreadable("GIT_DIR '" + environment.git_dir +
                                                 "' is no git repository: " + reason);
        return named;
    }
    if (!environment.common_dir.empty()) place.common_dir = environment.common_dir;
    GitConfig config;
    if (!ReadSettings(fs, dir, "", place, &config, &reason)) {
      named.tracked = TrackedFiles::Unreadable(reason);
      return named;
    }
    // The work tree: GIT_WORK_TREE, else core.worktree (from the git dir),
    // else the folder git was started in.
    if (!environment.work_tree.empty()) {
      named.top_path = environment.work_tree;
    } else if (!config.work_tree.empty()) {
      // Shown as the walk shows folders, links resolved (/home ->
      // /var/home), or no folder's path would ever be its top. One git
      // can't find (it refuses to run) has no files; one that can't be
      // looked for leaves the start in doubt.
      std::string folder;
      switch (FindCoreWorkTree(fs, git_dir, config.work_tree, &folder, &reason)) {
        case platform::LookupResult::kFound:
          named.top_path = std::move(folder);
          break;
        case platform::LookupResult::kMissing:
          named.top_path.clear();  // within no folder
          break;
        case platform::LookupResult::kFailed:
          named.tracked = TrackedFiles::Unreadable(reason);
          return named;
      }
    }
    named.tracked =
        LoadRepository(fs, dir, "", place, NamedIndexFile(environment, named.top_path));
  } catch (const std::bad_alloc&) {
    named.tracked = TrackedFiles::Unreadable("there is not enough memory to hold its index");
  } catch (const std::length_error&) {
    named.tracked = TrackedFiles::Unreadable("its index is too large to hold");
  }
  return named;
}

void NoteGitDataAround(platform::FileSystem& fs, const platform::Dir& start,
                       std::string_view start_path) {
  std::string failure;
  ClimbFromFolder(
      fs, start, MostLevelsAbove(start_path),
      [&](const ClimbStep& step) {
        GitPlace place;
        std::string reason;
        JudgeDotGit(fs, start, step.path, &place, &reason);
        return true;
      },
      &failure);
}

NamedWorkTree LoadCoreWorkTree(platform::FileSystem& fs, const platform::Dir& dir,
                               const std::string& git_dir) {
  NamedWorkTree named;
  try {
    GitPlace place;
    GitConfig config;
    std::string reason;
    if (JudgeGitDir(fs, dir, "", "", &place, &reason) != GitDirVerdict::kRepository) return named;
    // Settings git can't use (a format it does not read, a broken line
    // after core.worktree) still say where the work tree is: what it
    // tracks there is unknown. A bare one has none: git ignores
    // core.worktree there.
    const bool usable = ReadSettings(fs, dir, "", place, &config, &reason);
    if (config.work_tree.empty() || (usable && config.bare)) return named;
    // One git can't find, it refuses; one that can't be placed, no folder
    // the walk shows is known to lie in.
    if (FindCoreWorkTree(fs, git_dir, config.work_tree, &named.top_path, &reason) !=
        platform::LookupResult::kFound) {
      named.top_path.clear();
      return named;
    }
    named.tracked = usable ? LoadRepository(fs, dir, "", place, std::string())
                           : TrackedFiles::Unreadable(reason);
  } catch (const std::bad_alloc&) {
    named.tracked = TrackedFiles::Unreadable("there is not enough memory to hold its index");
  } catch (const std::length_error&) {
    named.tracked = TrackedFiles::Unreadable("its index is too large to hold");
  }
  return named;
}

GitSurroundings DiscoverGitAround(platform::FileSystem& fs, const platform::Dir& start,
                                  std::string_view start_path,
                                  const GitDiscoverySettings& settings) {
  GitSurroundings found;
  bool looking = settings.work_trees;
  std::string failure;
  const bool climbed = ClimbFromFolder(
      fs, start, MostLevelsAbove(start_path), [&](const ClimbStep& step) {
        // Any repository folder around the start is git's data, a work
        // tree `git worktree add` made in it too: git may keep its own
        // data in any folder of a repository (`git update-ref wt/x.log`
        // writes a ref into such a work tree). One by its shape alone may
        // be a repository's own `refs` or `logs`: the repository above is
        // the one to name.
        if (found.database_levels < 0 || found.database_by_shape) {
          GitPlace place;
          std::string why;
          bool by_shape = false;
          switch (JudgeGitData(fs, start, step.path, step.path, &place, &why, &by_shape)) {
            case GitDirVerdict::kRepository:
              if (found.database_levels >= 0 && by_shape) break;
              found.database_levels = step.levels;
              found.database_by_shape = by_shape;
              break;
            case GitDirVerdict::kUnknown:
              // It may be one (a HEAD that can't be read): nothing is
              // deleted where that can't be told.
              found.database_levels = step.levels;
              found.database_by_shape = false;
              found.database_doubt = why;
              break;
            case GitDirVerdict::kNoHead:
            case GitDirVerdict::kBroken:
              break;
          }
        }
        // Past a ceiling and the file system's boundary too: git started
        // here would stop there, but the repository beyond tracks these
        // files all the same, and its `git status` would show them deleted.
        if (looking) {
          WorkTreeTop top;
          top.dir_path = std::string(start_path);
          top.top_path = step.levels == 0 ? top.dir_path : PathAbove(start_path, step.levels);
          TrackedElsewhere elsewhere;
          elsewhere.outside_only = settings.outside_only;
          std::shared_ptr<const TrackedFiles> tracked = LoadGuarded(
              fs, start, step.path, top.top_path.empty() ? nullptr : &top, &elsewhere);
          if (tracked != nullptr && !elsewhere.outside.empty()) {
            found.tracked_outside.push_back({elsewhere.outside, tracked});
          }
          if (tracked != nullptr) {
            found.work_trees.push_back(WorkTreeAbove(start_path, step.levels, std::move(tracked)));
            // Past a work tree that keeps everything, nothing more can be
            // kept (but a repository further up may still name a folder
            // outside its top, elsewhere).
            if (!found.work_trees.back().tracked->readable() && !settings.outside_only) {
              looking = false;
            }
          }
        }
        return looking || found.database_levels < 0 || found.database_by_shape;
      },
      &failure);
  if (!climbed && looking) {
    EnclosingWorkTree doubt;
    doubt.top_path = std::string(start_path);
    doubt.tracked = TrackedFiles::Unreadable("a folder above it can't be reached: " + failure);
    found.work_trees.push_back(std::move(doubt));
  }
  return found;
}

}  // namespace engine
