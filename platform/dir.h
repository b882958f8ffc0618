// An open folder handle. Kept apart from file_system.h because it is the one
// type whose layout differs between operating systems.
#ifndef BUILDSWEEP_PLATFORM_DIR_H_
#define BUILDSWEEP_PLATFORM_DIR_H_

#include <string>

namespace platform {

/// An open folder. Move-only; closes itself when destroyed or reassigned.
class Dir {
 public:
#if defined(_WIN32)
  /// A Windows folder handle, through which its entries are opened. The
  /// rest is what the platform layer learns about the folder while it is
  /// open, kept so that each file does not cost another query.
  struct Native {
    void* handle = nullptr;
    /// The folder's name from its volume's root, read when it was opened
    /// where opens are checked by name (under wine); empty otherwise.
    std::wstring name;
    /// Whether its listing held files that are reparse points but not links
    /// (cloud placeholders, deduplicated files).
    mutable bool has_reparse_files = false;
    /// Set once the folder's volume refused deletion with POSIX semantics.
    mutable bool posix_deletion_unsupported = false;
  };
#else
  /// A POSIX folder is an O_DIRECTORY descriptor.
  using Native = int;
#endif

  Dir();
  ~Dir();
  Dir(Dir&& other) noexcept;
  Dir& operator=(Dir&& other) noexcept;
  Dir(const Dir&) = delete;
  Dir& operator=(const Dir&) = delete;

  /// Whether a folder is open.
  bool is_open() const;
  /// Closes the folder, if one is open.
  void Close();
  /// The OS handle, for the platform layer only.
  const Native& native() const { return native_; }
  /// Takes ownership of an OS handle, closing any previous one.
  void Reset(Native native);

 private:
  Native native_;
};

}  // namespace platform

#endif  // BUILDSWEEP_PLATFORM_DIR_H_
