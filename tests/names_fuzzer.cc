// libFuzzer entry point: the name rule and the escaping of printed paths on
// whatever bytes the fuzzer makes up. Built with clang only (BUILDSWEEP_FUZZ).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tests/support/name_properties.h"

namespace {

/// Stops the fuzzer with `problem` when it is not empty.
void Require(const std::string& problem) {
  if (problem.empty()) return;
  std::fprintf(stderr, "%s\n", problem.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view name(reinterpret_cast<const char*>(data), size);
  Require(testsupport::CheckExtensionOf(name));
  Require(testsupport::CheckEscaping(name, platform::TextEncoding::kUtf8));
  Require(testsupport::CheckEscaping(name, platform::TextEncoding::kCp949));
  return 0;
}
