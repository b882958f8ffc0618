#include "target_rule.h"

#include <array>
#include <cstdint>

namespace bench {

namespace {

/// A bit for each length an entry has (all are shorter than 64).
constexpr std::uint64_t listedLengths() {
    std::uint64_t lengths = 0;
    for (std::string_view listed : kListedExtensions) lengths |= std::uint64_t{1} << listed.size();
    return lengths;
}

constexpr bool isLower(char c) { return c >= 'a' && c <= 'z'; }

/// Where three lower-case letters stand in a table of all 26 * 26 * 26 of them.
constexpr std::size_t tripleIndex(std::string_view three) {
    return (static_cast<std::size_t>(three[0] - 'a') * 26 + static_cast<std::size_t>(three[1] - 'a')) * 26 +
           static_cast<std::size_t>(three[2] - 'a');
}

constexpr bool isLowerTriple(std::string_view name) {
    return name.size() == 3 && isLower(name[0]) && isLower(name[1]) && isLower(name[2]);
}

/// A bit for every listed extension of three lower-case letters.
using TripleSet = std::array<std::uint64_t, (26 * 26 * 26 + 63) / 64>;
constexpr TripleSet listedTriples() {
    TripleSet set{};
    for (std::string_view listed : kListedExtensions) {
        if (isLowerTriple(listed)) set[tripleIndex(listed) / 64] |= std::uint64_t{1} << (tripleIndex(listed) % 64);
    }
    return set;
}

constexpr std::uint64_t kListedLengths = listedLengths();
constexpr TripleSet kListedTriples = listedTriples();

/// The text after the last dot, or the whole name; here so that the rule
/// below has it inline.
std::string_view lastExtension(std::string_view name) {
    std::size_t begin = name.size();
    while (begin > 0 && name[begin - 1] != '.') --begin;
    return name.substr(begin);
}

}  // namespace

std::string_view extensionOf(std::string_view name) { return lastExtension(name); }

bool isListedName(std::string_view name) {
    const std::string_view extension = lastExtension(name);
    // The floor asks this of every file: a length no entry has (most) is one
    // bit test, three lower-case letters (most of the rest) another.
    if (extension.size() >= 64 || (kListedLengths >> extension.size() & 1) == 0) return false;
    if (isLowerTriple(extension)) {
        const std::size_t index = tripleIndex(extension);
        return (kListedTriples[index / 64] >> (index % 64) & 1) != 0;
    }
    for (std::string_view listed : kListedExtensions) {
        if (!isLowerTriple(listed) && extension == listed) return true;
    }
    return false;
}

}  // namespace bench
