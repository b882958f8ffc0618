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
  /// A Windows folder is reached by its full "\\?\" path; the handle pins it.
  struct Native {
    void* handle = nullptr;
    std::wstring path;
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
