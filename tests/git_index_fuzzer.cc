// libFuzzer entry point: the git index reader on whatever bytes the fuzzer
// makes up. Built with clang only (BUILDSWEEP_FUZZ). The first byte's low
// bit asks for the rest to get a right checksum, so that the fuzzer gets
// past it to the entries and extensions; a split index's shared index is
// read as the fuzzer's bytes once more, checksum fixed the same way.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/git_index.h"
#include "tests/support/git_index_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  if ((data[0] & 1) != 0) bytes = testsupport::WithChecksum(bytes);
  const engine::SharedIndexReader read_shared = [&](std::string_view, std::string_view* shared,
                                                    std::string*) {
    *shared = bytes;
    return true;
  };
  engine::GitIndexContent content;
  std::string error;
  if (engine::ParseGitIndex(bytes, read_shared, &content, &error)) {
    // What it read came from the bytes, and is sorted for searching. A
    // version 4 index starts each name with part of the one before, so
    // there only each name, not all of them together, is bounded by them.
    const bool names_shared = bytes.size() >= 8 && bytes[7] == 4;
    const std::size_t read_bytes = content.paths.byte_size() + content.sparse_folders.byte_size();
    if (!names_shared && read_bytes > bytes.size()) std::abort();
    for (std::size_t i = 0; i < content.paths.size(); ++i) {
      if (content.paths[i].size() > bytes.size()) std::abort();
    }
    for (std::size_t i = 1; i < content.paths.size(); ++i) {
      if (!(content.paths[i - 1] < content.paths[i])) std::abort();
    }
  } else if (error.empty()) {
    std::fprintf(stderr, "refused without a reason\n");
    std::abort();
  }
  return 0;
}
