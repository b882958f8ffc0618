#include "target_rule.h"

namespace bench {

std::string_view extensionOf(std::string_view name) {
    std::size_t dot = name.rfind('.');
    return dot == std::string_view::npos ? name : name.substr(dot + 1);
}

bool isListedName(std::string_view name) {
    std::string_view extension = extensionOf(name);
    // Every listed extension has 3 letters except "manifest"; the length check
    // turns away many misses (.h, .c, .vcxproj, dot-less names) before any compare.
    if (extension.size() != 3 && extension.size() != 8) return false;
    for (std::string_view listed : kListedExtensions) {
        if (extension == listed) return true;
    }
    return false;
}

}  // namespace bench
