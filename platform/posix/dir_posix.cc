#include <unistd.h>

#include "platform/dir.h"

namespace platform {

Dir::Dir() : native_(-1) {}
Dir::~Dir() { Close(); }
Dir::Dir(Dir&& other) noexcept : native_(other.native_) { other.native_ = -1; }

Dir& Dir::operator=(Dir&& other) noexcept {
  if (this != &other) {
    Close();
    native_ = other.native_;
    other.native_ = -1;
  }
  return *this;
}

bool Dir::is_open() const { return native_ >= 0; }

void Dir::Close() {
  if (native_ >= 0) ::close(native_);
  native_ = -1;
}

void Dir::Reset(Native native) {
  Close();
  native_ = native;
}

}  // namespace platform
