#include "engine/record_room.h"

namespace engine {

RecordRoom::RecordRoom(platform::Console& console, std::size_t keep_bytes)
    : console_(console), keep_bytes_(keep_bytes) {}

void RecordRoom::StartWith(std::size_t held) { counted_.store(held); }

bool RecordRoom::Admit(std::size_t bytes) {
  if (bytes > keep_bytes_) return false;
  counted_.fetch_add(bytes);
  if (Unwritten() + reserved_.load() <= keep_bytes_) return true;
  counted_.fetch_sub(bytes);
  return false;
}

void RecordRoom::Add(std::size_t bytes) { counted_.fetch_add(bytes); }

void RecordRoom::Remove(std::size_t bytes) { counted_.fetch_sub(bytes); }

bool RecordRoom::Reserve(std::size_t bytes, std::size_t spare) {
  const std::size_t before = reserved_.fetch_add(bytes);
  const std::size_t held = Unwritten() + before;
  if (held + bytes > keep_bytes_ || held + spare > keep_bytes_) {
    reserved_.fetch_sub(bytes);
    return false;
  }
  return true;
}

void RecordRoom::Release(std::size_t bytes) { reserved_.fetch_sub(bytes); }

bool RecordRoom::Fits(std::size_t bytes) const {
  return Unwritten() + reserved_.load() + bytes <= keep_bytes_;
}

std::size_t RecordRoom::Unwritten() const { return counted_.load() + console_.GatheredBytes(); }

}  // namespace engine
