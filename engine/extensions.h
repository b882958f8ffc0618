// The cleaning rule: which file names are build by-products.
#ifndef BUILDSWEEP_ENGINE_EXTENSIONS_H_
#define BUILDSWEEP_ENGINE_EXTENSIONS_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace engine {

/// The extensions that mark a file for deletion, in display order, with an
/// index that answers "is this one of them?" in a table look-up or two: the
/// rule is asked for every file of the tree.
class ExtensionList {
 public:
  /// Appends `extension` to the list (of at most 65,535 entries).
  void Add(std::string extension);
  /// Whether `extension` equals an entry exactly (case included).
  bool Contains(std::string_view extension) const;

  std::size_t size() const { return names_.size(); }
  const std::string& operator[](std::size_t i) const { return names_[i]; }
  const std::string& front() const { return names_.front(); }
  const std::string& back() const { return names_.back(); }
  std::vector<std::string>::const_iterator begin() const { return names_.begin(); }
  std::vector<std::string>::const_iterator end() const { return names_.end(); }
  void swap(ExtensionList& other) noexcept {
    names_.swap(other.names_);
    heads_.swap(other.heads_);
    next_.swap(other.next_);
  }

 private:
  // Entries are chained by their length (all from kSizeClasses - 1 on
  // sharing one class) and last byte: a name whose class and last byte no
  // entry has, as most names are, is turned away by one look.
  static constexpr std::size_t kSizeClasses = 8;
  static std::size_t KeyOf(std::string_view extension);

  std::vector<std::string> names_;
  std::array<std::uint16_t, kSizeClasses * 256> heads_{};  // 1 + the first entry's index; 0: none
  std::vector<std::uint16_t> next_;  // 1 + the next entry's index with the same key; 0: none
};

/// Appends the 24 by-product extensions to `extensions`, in display order.
void BuildExtensionList(ExtensionList& extensions);

/// 1 when `extension` equals an entry of `extensions` exactly (case
/// included), 0 otherwise.
inline int IsListedExtension(std::string_view extension, const ExtensionList& extensions) {
  return extensions.Contains(extension) ? 1 : 0;
}

/// The extension of a bare file name: the text after its last dot, or the
/// whole name when it has no dot. "report." has the empty extension.
inline std::string_view ExtensionOf(std::string_view name) {
  std::size_t begin = name.size();
  while (begin > 0 && name[begin - 1] != '.') --begin;
  return name.substr(begin);
}

}  // namespace engine

#endif  // BUILDSWEEP_ENGINE_EXTENSIONS_H_
