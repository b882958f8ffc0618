// Scratch kept per thread without a destructor registered per thread.
//
// A thread_local with a destructor registers it at the thread's first use,
// and that takes memory: where there is none left, glibc ends the whole
// process on the spot ("failed to register TLS destructor"), losing the
// report's lines that the workers hold. So each thread's scratch is made
// with new, which throws std::bad_alloc as any other allocation the run
// handles, and kept for the life of the process in one list, reachable, so
// no leak checker counts it lost when its thread ends.
#ifndef BUILDSWEEP_PLATFORM_PER_THREAD_H_
#define BUILDSWEEP_PLATFORM_PER_THREAD_H_

namespace platform {
namespace per_thread_internal {

/// Keeps `object` (made with new) until the process ends, deleted by
/// `destroy`. Throws std::bad_alloc, having deleted it, where it can't.
void Keep(void* object, void (*destroy)(void*));

}  // namespace per_thread_internal

/// The calling thread's own `T`, made at its first use.
template <typename T>
T& PerThread() {
  thread_local T* mine = nullptr;  // no destructor: nothing to register
  if (mine == nullptr) {
    T* made = new T();
    per_thread_internal::Keep(made, [](void* object) { delete static_cast<T*>(object); });
    mine = made;
  }
  return *mine;
}

}  // namespace platform

#endif  // BUILDSWEEP_PLATFORM_PER_THREAD_H_
