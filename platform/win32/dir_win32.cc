#include <windows.h>

#include <utility>

#include "platform/dir.h"

namespace platform {

Dir::Dir() = default;
Dir::~Dir() { Close(); }
Dir::Dir(Dir&& other) noexcept : native_(std::move(other.native_)) { other.native_ = Native(); }

Dir& Dir::operator=(Dir&& other) noexcept {
  if (this != &other) {
    Close();
    native_ = std::move(other.native_);
    other.native_ = Native();
  }
  return *this;
}

bool Dir::is_open() const { return native_.handle != nullptr; }

void Dir::Close() {
  if (native_.handle != nullptr) ::CloseHandle(native_.handle);
  native_ = Native();
}

void Dir::Reset(Native native) {
  Close();
  native_ = std::move(native);
}

}  // namespace platform
