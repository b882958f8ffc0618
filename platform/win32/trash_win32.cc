// Windows has no trash folders of this kind: its Recycle Bin is reached only
// through the shell's file operation, which takes full paths (so a folder
// swapped for a junction meanwhile could redirect it) and brings in user32
// (which costs the console's logoff notice). --trash is refused there, and
// these calls are never made.
#include "platform/trash.h"

namespace platform {
namespace {

class UnsupportedTrashSystem : public TrashSystem {
 public:
  std::string Unsupported() override {
    return "the Recycle Bin is reached only through the shell, by full paths, which would give "
           "up the deletion relative to each checked folder";
  }
  OpenResult OpenFolderAt(std::string_view, bool, Dir*, FolderInfo*, std::vector<FolderId>*,
                          std::string* error) override {
    *error = Unsupported();
    return OpenResult::kFailed;
  }
  std::uint64_t MountOf(const Dir&) override { return 0; }
  FolderId NearestExistingFolder(std::string_view, std::uint64_t* mount) override {
    *mount = 0;
    return FolderId();
  }
  OpenResult OpenMountTop(const Dir&, Dir*, FolderInfo*, std::size_t*,
                          std::string* error) override {
    *error = Unsupported();
    return OpenResult::kFailed;
  }
  SharedTrash OpenSharedTrash(const Dir&, std::string_view, Dir*, std::string* reason) override {
    *reason = Unsupported();
    return SharedTrash::kRefused;
  }
  OpenResult OpenPrivateFolder(const Dir&, std::string_view, bool, bool, std::uint64_t, Dir*,
                               FolderInfo*, std::string* error) override {
    *error = Unsupported();
    return OpenResult::kFailed;
  }
  bool MayLeave(const Dir&, std::string_view, std::string* reason) override {
    *reason = Unsupported();
    return false;
  }
  bool MayWriteIn(const Dir&, std::string* reason) override {
    *reason = Unsupported();
    return false;
  }
  TrashStep CreateExclusive(const Dir&, std::string_view, std::string_view,
                            std::string* error) override {
    *error = Unsupported();
    return TrashStep::kFailed;
  }
  void RemoveCreated(const Dir&, std::string_view) override {}
  TrashStep MoveNoReplace(const Dir&, std::string_view, const Dir&, std::string_view,
                          std::string* error) override {
    *error = Unsupported();
    return TrashStep::kFailed;
  }
  void ReserveHandles(std::size_t) override {}
  void ReleaseHandles() override {}
  void LocalTimeNow(std::string* out) override { out->clear(); }
};

}  // namespace

TrashSystem& NativeTrashSystem() {
  static UnsupportedTrashSystem* const trash = new UnsupportedTrashSystem();
  return *trash;
}

}  // namespace platform
