#include "engine/extensions.h"

#include <algorithm>
#include <utility>

namespace engine {

void BuildExtensionList(ExtensionList& extensions) {
  // Compiler, linker and IDE by-products, plus temp, log and backup files.
  // The order is the order the user is shown; it has no other meaning.
  static const char* const kExtensions[] = {
      "pch", "mdp", "clw", "obj", "aps", "cpl",      "awk", "tmp",
      "exp", "idb", "opt", "map", "ilk", "scc",      "bsc", "sbr",
      "manifest", "dep", "log", "suo", "tlb", "ncb", "ncp", "bak",
  };
  for (const char* extension : kExtensions) extensions.Add(extension);
}

std::size_t ExtensionList::KeyOf(std::string_view extension) {
  // The empty extension alone has class 0; its "last byte" is then 0.
  const std::size_t size_class = std::min(extension.size(), kSizeClasses - 1);
  const unsigned char last = extension.empty() ? 0 : static_cast<unsigned char>(extension.back());
  return size_class * 256 + last;
}

void ExtensionList::Add(std::string extension) {
  const std::uint16_t head = heads_[KeyOf(extension)];
  names_.push_back(std::move(extension));
  // A new entry goes to the front of its chain.
  next_.push_back(head);
  heads_[KeyOf(names_.back())] = static_cast<std::uint16_t>(names_.size());
}

bool ExtensionList::Contains(std::string_view extension) const {
  // An exact, case-sensitive comparison: "OBJ" and "objx" are not "obj".
  for (std::uint16_t at = heads_[KeyOf(extension)]; at != 0; at = next_[at - 1]) {
    // The first byte first: entries sharing a key mostly differ there.
    const std::string& listed = names_[at - 1];
    if (listed.size() == extension.size() && (extension.empty() || listed[0] == extension[0]) &&
        std::string_view(listed) == extension) {
      return true;
    }
  }
  return false;
}

}  // namespace engine
