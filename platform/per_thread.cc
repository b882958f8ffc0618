#include "platform/per_thread.h"

#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace platform {
namespace per_thread_internal {
namespace {

struct Kept {
  std::mutex mutex;
  std::vector<std::pair<void*, void (*)(void*)>> objects;
  ~Kept() {
    for (auto& [object, destroy] : objects) destroy(object);
  }
};

Kept& AllKept() {
  static Kept kept;  // made by the first thread's first use, gone at exit
  return kept;
}

}  // namespace

void Keep(void* object, void (*destroy)(void*)) {
  Kept& kept = AllKept();
  std::lock_guard<std::mutex> lock(kept.mutex);
  try {
    kept.objects.emplace_back(object, destroy);
  } catch (const std::bad_alloc&) {
    destroy(object);
    throw;
  }
}

}  // namespace per_thread_internal
}  // namespace platform
