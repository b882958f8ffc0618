#include "engine/trash.h"

#include <algorithm>
#include <utility>

#include "engine/climb.h"
#include "engine/name_filter.h"
#include "platform/per_thread.h"

namespace engine {

std::string_view TrashFolderAround(std::string_view path) {
  std::size_t begin = 0;
  while (begin < path.size()) {
    std::size_t end = path.find(platform::kPathSeparator, begin);
    if (end == std::string_view::npos) end = path.size();
    if (IsTrashFolder(path.substr(begin, end - begin))) return path.substr(0, end);
    begin = end + 1;
  }
  return {};
}

bool IsHomeTrashAt(platform::FileSystem& fs, const platform::Dir& dir, std::string_view path) {
  const std::size_t cut = path.rfind(platform::kPathSeparator);
  if (path.substr(cut == std::string_view::npos ? 0 : cut + 1) != kHomeTrashName) return false;
  platform::EntryKind kind;
  platform::FolderId id;
  std::string error;
  for (const char* part : {"files", "info"}) {
    std::string at(path);
    platform::AppendPathComponent(&at, part);
    if (fs.LookUpPath(dir, at, &kind, &id, &error) != platform::LookupResult::kFound ||
        kind != platform::EntryKind::kFolder) {
      return false;
    }
  }
  return true;
}

std::string_view HomeTrashAround(platform::FileSystem& fs, const platform::Dir& dir,
                                 std::string_view path) {
  for (std::size_t end = path.find(platform::kPathSeparator); end != std::string_view::npos;
       end = path.find(platform::kPathSeparator, end + 1)) {
    if (IsHomeTrashAt(fs, dir, path.substr(0, end))) return path.substr(0, end);
  }
  return IsHomeTrashAt(fs, dir, path) ? path : std::string_view();
}

namespace {

using platform::OpenResult;
using platform::RemoveResult;
using platform::TrashStep;

// The longest name most file systems take. An entry's information file adds
// ".trashinfo" to its name, and a taken name a number: a longer name is cut
// short in the trash (its own Path keeps it whole).
constexpr std::size_t kMostNameBytes = 255;
constexpr std::string_view kInfoSuffix = ".trashinfo";
constexpr std::size_t kMostTrashNameBytes = kMostNameBytes - kInfoSuffix.size() - 21;

// How many taken names one file tries before giving up: only a trash
// crowded with entries named alike by others gets near it.
constexpr int kMostAttempts = 100000;

// The descriptors kept in reserve for the next file system's trash: its
// files/ and info/, two to climb to its top with, and one for an entry's
// information file.
constexpr std::size_t kHandlesForATrash = 5;

std::string Join(std::string_view folder, std::string_view name) {
  std::string path(folder);
  platform::AppendPathComponent(&path, name);
  return path;
}

// Why a file could not get its information file in the trash `trash`.
std::string InfoProblem(std::string_view trash, std::string_view why) {
  return "cannot write its trash information into '" + Join(trash, "info") + "': " +
         std::string(why);
}

// Why a file could not be moved into the trash `trash`.
std::string MoveProblem(std::string_view trash, std::string_view why) {
  return "cannot move it into '" + Join(trash, "files") + "': " + std::string(why);
}

}  // namespace

// One trash folder and what the run knows of it.
struct Trash::Can {
  /// Why no file can go to it; empty when it is usable.
  std::string problem;
  /// Whether the problem was only want of descriptors, which the walk may
  /// have given back by the next file: it is looked for again then.
  bool out_of_handles = false;
  /// The trash folder, as shown.
  std::string path;
  /// The top of the mount it serves, as shown, which Paths are relative to;
  /// empty for the home trash, whose Paths are absolute.
  std::string top;
  /// Why a dry run foresees that no file could be written into it; empty
  /// when it sees nothing in the way.
  std::string write_problem;
  /// The mount it serves (TrashSystem::MountOf); 0 where not known, and
  /// then told by `top`.
  std::uint64_t mount = 0;
  /// Its files/ and info/ folders, open in a real run.
  platform::Dir files;
  platform::Dir info;
  /// The next number to try for each name that was found taken, so that a
  /// thousand files of one name cost one attempt each, not a thousand.
  std::unordered_map<std::string, std::uint64_t> next_number;
};

std::string HomeTrashPath(const TrashSettings& settings) {
  return settings.data_home.empty() ? std::string() : Join(settings.data_home, kHomeTrashName);
}

void AppendPercentEncoded(std::string* out, std::string_view path) {
  static const char kDigits[] = "0123456789ABCDEF";
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    const bool kept = (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
                      (byte >= '0' && byte <= '9') || byte == '-' || byte == '_' || byte == '.' ||
                      byte == '~' || byte == '/';
    if (kept) {
      out->push_back(c);
    } else {
      out->push_back('%');
      out->push_back(kDigits[byte >> 4]);
      out->push_back(kDigits[byte & 0xf]);
    }
  }
}

Trash::Trash(platform::TrashSystem& system, TrashSettings settings)
    : system_(system), settings_(std::move(settings)) {
  // The walk, and the folders a run holds from its check to their turn,
  // size themselves by the descriptors the process can spare: these are
  // then left for the home trash (two) and a file system met on the way.
  system_.ReserveHandles(kHandlesForATrash + 2);
  // (Most trashes are found with descriptors to spare; under a tight limit
  // a file whose trash can't be opened is kept and said so.)
}

Trash::~Trash() { system_.ReleaseHandles(); }

void Trash::Prepare() {
  OpenHomeTrash();
  system_.ReserveHandles(kHandlesForATrash);
}

void Trash::OpenHomeTrash() {
  // What was held for the home trash goes to it; the rest stays held.
  system_.ReleaseHandles();
  home_ = std::make_unique<Can>();
  if (settings_.data_home.empty()) return;  // no home: every file system has its own
  home_->path = HomeTrashPath(settings_);
  platform::Dir data_home;
  platform::FolderInfo info;
  std::string reason;
  switch (system_.OpenFolderAt(settings_.data_home, !settings_.dry_run, &data_home, &info,
                               &made_folders_,
                               &reason)) {
    case OpenResult::kOpened: {
      home_device_ = info.id.device;
      home_device_known_ = true;
      home_mount_ = system_.MountOf(data_home);
      // The home trash may be a link (to a roomier disk, say), as file
      // managers take it: its files are those of the folder it leads to.
      platform::FolderId trash_id;
      if (!OpenTrashIn(data_home, std::string(kHomeTrashName), home_.get(), &reason, &trash_id)) {
        home_->problem = "cannot use the home trash: " + reason;
      } else if (trash_id.IsKnown()) {
        home_device_ = trash_id.device;
        if (home_->files.is_open()) home_mount_ = system_.MountOf(home_->files);
      }
      return;
    }
    case OpenResult::kGone:  // a dry run: it would be made where the nearest folder is
      break;
    case OpenResult::kFailed:
    case OpenResult::kNoHandles:
      home_->problem = "cannot make the home trash '" + home_->path + "': " + reason;
      break;
  }
  const platform::FolderId nearest =
      system_.NearestExistingFolder(settings_.data_home, &home_mount_);
  home_device_ = nearest.device;
  home_device_known_ = nearest.IsKnown();
}

std::size_t Trash::MostPathBytes(std::size_t folder_bytes) const {
  // A mount's trash lies at its top, which is the folder or above it;
  // ".Trash/$uid/files/" and a number come after it.
  constexpr std::size_t kMostAfterTop = 64;
  const std::size_t home = home_ != nullptr ? home_->path.size() : 0;
  return (home > folder_bytes ? home : folder_bytes) + kMostAfterTop;
}

// The trash of the mount the folder `dir`, on `device`, lies on: the home
// trash's or the mount's own, found the first time a file of that mount
// goes. Which mount it is the system tells (a bind mount shares its
// device with the file system's other mounts, and a rename can't cross
// between them); where it can't, the folder's path: the mount whose top it
// lies within.
Trash::Can* Trash::CanFor(const platform::Dir& dir, std::uint64_t device,
                          std::string_view folder_path) {
  const std::uint64_t mount = system_.MountOf(dir);
  const std::lock_guard<std::mutex> lock(mutex_);
  if (home_device_known_ && device == home_device_ &&
      (mount == 0 || home_mount_ == 0 || mount == home_mount_)) {
    return home_.get();
  }
  std::vector<std::unique_ptr<Can>>& cans = mounts_[device];
  auto can = std::find_if(cans.begin(), cans.end(), [&](const std::unique_ptr<Can>& known) {
    if (mount != 0 && known->mount != 0) return known->mount == mount;
    return known->top.empty() || IsWithin(folder_path, known->top);
  });
  if (can != cans.end() && !(*can)->out_of_handles) return can->get();
  if (can != cans.end()) {
    // Other threads may still read the one that failed: it is kept.
    given_up_.push_back(std::move(*can));
    cans.erase(can);
  }
  cans.push_back(std::make_unique<Can>());
  cans.back()->mount = mount;
  system_.ReleaseHandles();
  OpenMountTrash(dir, folder_path, cans.back().get());
  system_.ReserveHandles(kHandlesForATrash);
  return cans.back().get();
}

// $top/.Trash/$uid where the mount's top holds a shared trash that takes
// it, else $top/.Trash-$uid.
void Trash::OpenMountTrash(const platform::Dir& dir, std::string_view folder_path, Can* can) {
  platform::Dir top;
  platform::FolderInfo info;
  std::size_t levels = 0;
  std::string reason;
  const OpenResult opened = system_.OpenMountTop(dir, &top, &info, &levels, &reason);
  if (opened != OpenResult::kOpened) {
    can->out_of_handles = opened == OpenResult::kNoHandles;
    can->problem = "cannot find the top of its file system: " + reason;
    return;
  }
  // The top's path: the folder's, less a name for each level climbed.
  const std::string top_path = PathAbove(folder_path, static_cast<int>(levels));
  if (top_path.empty()) {
    can->problem = "cannot tell the path of the top of its file system";
    return;
  }
  can->top = top_path;
  const std::string user = std::to_string(settings_.user);
  platform::Dir shared;
  const platform::SharedTrash found = system_.OpenSharedTrash(top, ".Trash", &shared, &reason);
  if (found == platform::SharedTrash::kUsable) {
    can->path = Join(Join(top_path, ".Trash"), user);
    if (OpenTrashIn(shared, user, can, &reason)) return;
  }
  // Out of descriptors a shared trash may still take us: tried again later,
  // never passed over for a trash of our own made meanwhile.
  if (found == platform::SharedTrash::kNoHandles) can->out_of_handles = true;
  if (can->out_of_handles) {
    can->problem = "no trash can be had on its file system: " + reason;
    return;
  }
  // No shared trash, or one that may not be used or would not take us.
  can->path = Join(top_path, ".Trash-" + user);
  if (OpenTrashIn(top, ".Trash-" + user, can, &reason)) return;
  can->problem = "no trash can be had on its file system: " + reason;
}

// Opens the trash folder `name` in `parent` (shown as can->path) and its
// files/ and info/, each the user's own, making what is missing; a dry run
// makes nothing and only checks that it could. For the home trash, asked
// for its identity in `home_id`, the folder itself may be a link.
bool Trash::OpenTrashIn(const platform::Dir& parent, std::string_view name, Can* can,
                        std::string* reason, platform::FolderId* home_id) {
  const bool make = !settings_.dry_run;
  platform::Dir trash;
  platform::FolderInfo info;
  std::string why;
  OpenResult opened = system_.OpenPrivateFolder(parent, name, make, home_id != nullptr,
                                                settings_.user, &trash, &info, &why);
  if (opened == OpenResult::kOpened && home_id != nullptr) *home_id = info.id;
  can->out_of_handles = opened == OpenResult::kNoHandles;
  switch (opened) {
    case OpenResult::kOpened:
      break;
    case OpenResult::kGone:
      // Missing, a real run could not make it, and says why; a dry run
      // looks whether it could, and says the same.
      if (!make && system_.MayWriteIn(parent, &why)) return true;
      *reason = "cannot make '" + can->path + "': " + why;
      return false;
    default:
      *reason = "cannot use '" + can->path + "': " + why;
      return false;
  }
  for (const std::string_view part : {std::string_view("files"), std::string_view("info")}) {
    platform::Dir* const folder = part == "files" ? &can->files : &can->info;
    const std::string shown = Join(can->path, part);
    opened = system_.OpenPrivateFolder(trash, part, make, false, settings_.user, folder, &info,
                                       &why);
    can->out_of_handles = opened == OpenResult::kNoHandles;
    switch (opened) {
      case OpenResult::kOpened:
        continue;
      case OpenResult::kGone:
        if (!make && system_.MayWriteIn(trash, &why)) continue;
        *reason = "cannot make '" + shown + "': " + why;
        break;
      default:
        *reason = "cannot use '" + shown + "': " + why;
        break;
    }
    // What opened of a trash that can't be used is let go of: a can given
    // up is kept (other threads may read it) and would hold it for good.
    can->files.Close();
    can->info.Close();
    return false;
  }
  // A real run finds out by trying; a dry run looks, and says it as the
  // real run would, file by file.
  if (!make && can->info.is_open() && !system_.MayWriteIn(can->info, &why)) {
    can->write_problem = InfoProblem(can->path, why);
  } else if (!make && can->files.is_open() && !system_.MayWriteIn(can->files, &why)) {
    can->write_problem = MoveProblem(can->path, why);
  }
  return true;
}

// The name to try next in `can` for a file named `base`: the name itself
// the first time, unless it was `taken`, then `base.2`, `base.3` ...,
// carrying on from the last number tried for that name in this run.
void Trash::NextName(Can* can, std::string_view base, bool taken, std::string* name) {
  name->assign(base.data(), base.size());
  const std::lock_guard<std::mutex> lock(mutex_);
  // Most names are never taken: they cost a look, not an entry.
  auto found = can->next_number.empty() ? can->next_number.end() : can->next_number.find(*name);
  if (found == can->next_number.end()) {
    if (!taken) return;
    found = can->next_number.emplace(*name, 2).first;
  }
  name->push_back('.');
  name->append(std::to_string(found->second++));
}

RemoveResult Trash::Put(const platform::Dir& dir, std::uint64_t device,
                        std::string_view folder_path, std::string_view name, Placed* placed,
                        std::string* error) {
  Can* const can = CanFor(dir, device, folder_path);
  if (!can->problem.empty()) {
    *error = can->problem;
    return RemoveResult::kFailed;
  }
  // Trashing what lies in a trash already (a run started in one, this or
  // another) would only shuffle its entries and leave their information
  // behind.
  const std::string& target = settings_.home_trash_target;
  const std::string_view around =
      !can->path.empty() && IsWithin(folder_path, can->path) ? std::string_view(can->path)
      : !target.empty() && IsWithin(folder_path, target)     ? std::string_view(target)
                                                             : TrashFolderAround(folder_path);
  if (!around.empty()) {
    *error = "it lies in the trash '" + std::string(around) + "' already";
    return RemoveResult::kFailed;
  }
  // Trashed, it could be put back by hand alone: no file manager restores it.
  if (folder_path.size() + 1 + name.size() > platform::kLongestRestorablePath) {
    *error = "its path is too long for the trash to put it back";
    return RemoveResult::kFailed;
  }
  // So would one whose entry the tools could not open: they read and move
  // it by its whole path as well (the longest it may get, a number added).
  const std::size_t entry_bytes =
      std::min(name.size(), kMostTrashNameBytes) + (kMostNameBytes - kMostTrashNameBytes);
  if (can->path.size() + std::string_view("/info/").size() + entry_bytes >
      platform::kLongestRestorablePath) {
    *error = "its entry in the trash '" + can->path +
             "' would have too long a path for the trash to put it back";
    return RemoveResult::kFailed;
  }
  if (placed->trash != can->path) placed->trash = can->path;
  placed->entry.clear();
  if (!can->write_problem.empty()) {
    *error = can->write_problem;
    return RemoveResult::kFailed;
  }
  if (settings_.dry_run) return RemoveResult::kRemoved;

  // The entry's information, written whole before the file moves. Its
  // buffers are kept per thread: a run may trash a million files.
  struct Scratch {
    std::string content;
    std::string path;
    std::string date;
    std::string entry;
    std::string info_name;
  };
  Scratch& scratch = platform::PerThread<Scratch>();
  std::string& content = scratch.content;
  std::string& path = scratch.path;
  std::string& date = scratch.date;
  std::string& entry = scratch.entry;
  std::string& info_name = scratch.info_name;
  if (can->top.empty()) {
    path.assign(folder_path.data(), folder_path.size());
  } else {
    path.assign(folder_path.data() + can->top.size(), folder_path.size() - can->top.size());
  }
  platform::AppendPathComponent(&path, name);
  if (!can->top.empty()) path.erase(0, path.find_first_not_of(platform::kPathSeparator));
  content.assign("[Trash Info]\nPath=");
  AppendPercentEncoded(&content, path);
  system_.LocalTimeNow(&date);
  content.append("\nDeletionDate=").append(date).append("\n");

  // Cut where a character begins: a name in UTF-8 stays one in the trash.
  std::size_t cut = std::min(name.size(), kMostTrashNameBytes);
  for (int back = 0; back < 3 && cut < name.size() && cut > 0 &&
                     (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80;
       ++back) {
    --cut;
  }
  const std::string_view base = name.substr(0, cut);
  bool taken = false;
  for (int attempt = 0; attempt < kMostAttempts; ++attempt) {
    NextName(can, base, taken, &entry);
    info_name.assign(entry).append(kInfoSuffix.data(), kInfoSuffix.size());
    switch (system_.CreateExclusive(can->info, info_name, content, error)) {
      case TrashStep::kDone:
        break;
      case TrashStep::kExists:
        taken = true;
        continue;
      default:
        *error = InfoProblem(can->path, *error);
        return RemoveResult::kFailed;
    }
    const TrashStep moved = system_.MoveNoReplace(dir, name, can->files, entry, error);
    if (moved == TrashStep::kDone) {
      placed->entry.assign(can->path);
      platform::AppendPathComponent(&placed->entry, "files");
      platform::AppendPathComponent(&placed->entry, entry);
      return RemoveResult::kRemoved;
    }
    if (moved == TrashStep::kFolderLeft) {
      // Its information stays, so that the desktop's tools can put it back.
      *error = *error + "; it is in the trash as '" + Join(Join(can->path, "files"), entry) + "'";
      return RemoveResult::kFailed;
    }
    system_.RemoveCreated(can->info, info_name);
    switch (moved) {
      case TrashStep::kExists:
        taken = true;  // files/ holds an entry info/ does not know
        continue;
      case TrashStep::kMissing:
        return RemoveResult::kMissing;
      case TrashStep::kIsFolder:
        return RemoveResult::kIsFolder;
      default:
        // A file that may not leave its folder (no right to write there,
        // a sticky folder of another's) fails for that, not for the
        // trash: said as a deletion there, or the dry run, says it.
        if (std::string why; !system_.MayLeave(dir, name, &why)) {
          *error = why;
        } else {
          *error = MoveProblem(can->path, *error);
        }
        return RemoveResult::kFailed;
    }
  }
  *error = "too many entries of that name in '" + can->path + "'";
  return RemoveResult::kFailed;
}

}  // namespace engine
