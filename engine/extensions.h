// The cleaning rule: which file names are build by-products.
#ifndef BUILDSWEEP_ENGINE_EXTENSIONS_H_
#define BUILDSWEEP_ENGINE_EXTENSIONS_H_

#include <string>
#include <string_view>
#include <vector>

namespace engine {

/// The extensions that mark a file for deletion, in display order.
using ExtensionList = std::vector<std::string>;

/// Appends the 24 by-product extensions to `extensions`, in display order.
void BuildExtensionList(ExtensionList& extensions);

/// 1 when `extension` equals an entry of `extensions` exactly (case
/// included), 0 otherwise.
int IsListedExtension(std::string_view extension, const ExtensionList& extensions);

/// The extension of a bare file name: the text after its last dot, or the
/// whole name when it has no dot. "report." has the empty extension.
std::string_view ExtensionOf(std::string_view name);

}  // namespace engine

#endif  // BUILDSWEEP_ENGINE_EXTENSIONS_H_
