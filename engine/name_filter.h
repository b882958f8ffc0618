// Names the walk leaves alone whatever the extension rule says.
#ifndef BUILDSWEEP_ENGINE_NAME_FILTER_H_
#define BUILDSWEEP_ENGINE_NAME_FILTER_H_

#include <string>
#include <string_view>
#include <vector>

namespace engine {

/// The version-control system whose database folder `name` is ("git",
/// "Mercurial", "Subversion", "Bazaar"); empty for any other folder.
std::string_view VersionControlSystem(std::string_view name);

/// Whether `name` is a trash folder at the top of a file system: the one
/// users share (.Trash) or a user's own (.Trash-1000).
bool IsTrashFolder(std::string_view name);

/// Decides which folders the walk does not enter and which files it leaves
/// alone. A version-control database (.git, .hg, .svn, .bzr) is never a
/// build by-product: its branch, tag and log files may well be named
/// "tmp" or "v1.map", so such folders are never entered. Nor are a file
/// system's trash folders (.Trash, and .Trash- followed by a user's number):
/// what the user trashed is kept until the trash is emptied. The user's
/// exclusions add shell wildcards matched against the bare name.
class NameFilter {
 public:
  /// Adds the wildcard pattern `pattern` (`*`, `?`, `[...]`); a folder or file
  /// whose name matches it is left alone.
  void AddExclusion(std::string pattern);

  /// Leaves alone every file named `name` exactly (folders are entered).
  void KeepFilesNamed(std::string name) { kept_names_.push_back(std::move(name)); }

  /// Why a folder is neither entered nor shown, if it is not.
  enum class FolderSkip {
    kNone,      ///< entered
    kAlways,    ///< a version-control database or a trash
    kExcluded,  ///< the user's exclusions alone
  };
  /// Why the folder `name` is skipped, asked once per folder.
  FolderSkip SkipOfFolder(std::string_view name) const;
  /// Whether the file `name`, a by-product by its extension, is left alone.
  bool SkipsFile(std::string_view name) const {
    return (!exclusions_.empty() && MatchesAnExclusion(name)) ||
           (!kept_names_.empty() && IsKeptName(name));
  }

 private:
  bool MatchesAnExclusion(std::string_view name) const;
  bool IsKeptName(std::string_view name) const;

  std::vector<std::string> exclusions_;
  std::vector<std::string> kept_names_;
};

}  // namespace engine

#endif  // BUILDSWEEP_ENGINE_NAME_FILTER_H_
