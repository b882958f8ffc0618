// Random byte strings through the name rule and the path escaping: many
// thousands of names no one would think to write down, the same ones every
// run so a failure can be repeated.
#include <gtest/gtest.h>

#include <random>

#include "tests/support/name_properties.h"

namespace testsupport {
namespace {

// Mostly the bytes the code treats specially: dots, backslashes, C0
// controls, DEL, and the lead and trail bytes of UTF-8 C1 controls.
std::string RandomName(std::mt19937& random) {
  static const unsigned char kSpecial[] = {'.', '.', '\\', 'x', 'u', '0', 0x01, '\n', '\r', '\t',
                                           0x1b, 0x1f, 0x7f, 0xc2, 0xc2, 0x80, 0x85, 0x9b, 0x9f, 0xa0};
  std::uniform_int_distribution<int> length(0, 24), coin(0, 1), any(0, 255),
      special(0, sizeof kSpecial - 1);
  std::string name(static_cast<std::size_t>(length(random)), '\0');
  for (char& c : name) c = static_cast<char>(coin(random) ? kSpecial[special(random)] : any(random));
  return name;
}

TEST(FuzzTest, RandomNamesKeepTheNameRuleAndEscapeFaithfully) {
  std::mt19937 random(20240611);
  engine::ExtensionList listed;
  engine::BuildExtensionList(listed);
  for (int round = 0; round < 200000; ++round) {
    const std::string name = RandomName(random);
    ASSERT_EQ(CheckExtensionOf(name), "") << ::testing::PrintToString(name);
    ASSERT_EQ(CheckEscaping(name, platform::TextEncoding::kUtf8), "") << ::testing::PrintToString(name);
    ASSERT_EQ(CheckEscaping(name, platform::TextEncoding::kCp949), "") << ::testing::PrintToString(name);
    // Whatever comes before it, the last extension alone decides.
    const std::string& extension = listed[static_cast<std::size_t>(round) % listed.size()];
    ASSERT_EQ(engine::IsListedExtension(engine::ExtensionOf(name + "." + extension), listed), 1);
    std::string shouted = extension;
    for (char& c : shouted) c = static_cast<char>(c - 'a' + 'A');
    ASSERT_EQ(engine::IsListedExtension(engine::ExtensionOf(name + "." + shouted), listed), 0);
    if (name.find('.') == std::string::npos) {
      ASSERT_EQ(engine::IsListedExtension(engine::ExtensionOf(extension + "." + name), listed),
                engine::IsListedExtension(name, listed));
    }
  }
}

}  // namespace
}  // namespace testsupport
