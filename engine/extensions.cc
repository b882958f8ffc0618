#include "engine/extensions.h"

namespace engine {

void BuildExtensionList(ExtensionList& extensions) {
  // Compiler, linker and IDE by-products, plus temp, log and backup files.
  // The order is the order the user is shown; it has no other meaning.
  static const char* const kExtensions[] = {
      "pch", "mdp", "clw", "obj", "aps", "cpl",      "awk", "tmp",
      "exp", "idb", "opt", "map", "ilk", "scc",      "bsc", "sbr",
      "manifest", "dep", "log", "suo", "tlb", "ncb", "ncp", "bak",
  };
  for (const char* extension : kExtensions) extensions.emplace_back(extension);
}

int IsListedExtension(std::string_view extension, const ExtensionList& extensions) {
  // An exact, case-sensitive comparison: "OBJ" and "objx" are not "obj".
  // This runs for every file of the tree, so the size and the first byte
  // rule out most entries before a full comparison is paid for.
  for (const std::string& listed : extensions) {
    if (listed.size() == extension.size() && (listed.empty() || listed[0] == extension[0]) &&
        extension == listed) {
      return 1;
    }
  }
  return 0;
}

std::string_view ExtensionOf(std::string_view name) {
  // npos + 1 wraps to 0, so a name without a dot is its own extension.
  return name.substr(name.rfind('.') + 1);
}

}  // namespace engine
