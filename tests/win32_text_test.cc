// Windows only: how names travel between UTF-16 and the program's 8-bit
// strings, how paths and messages are shown, and what deleting does with a
// file that another program holds.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/console.h"
#include "platform/file_system.h"
#include "platform/win32/process_win32.h"
#include "platform/win32/text_win32.h"

namespace platform {
namespace {

using win32::WideFromWtf8;
using win32::Wtf8FromWide;

TEST(Win32TextTest, EveryFileNameSurvivesTheRoundTrip) {
  const std::wstring names[] = {
      L"main.obj",
      L"\xd55c\xae00.obj",           // Korean
      L"\x7b80\x4f53.obj",           // simplified Chinese, outside the Korean code page
      L"\xd83d\xdca9.tmp",           // outside the BMP: a surrogate pair
      L"lone\xd800high.obj",         // unpaired surrogates, which Windows allows
      L"lone\xdc00low.obj",
      L"\xdc00\xd800 reversed.obj",  // a low before a high is no pair
      std::wstring(),  // empty
  };
  for (const std::wstring& name : names) {
    EXPECT_EQ(WideFromWtf8(Wtf8FromWide(name)), name);
  }
}

TEST(Win32TextTest, ValidNamesBecomeStandardUtf8) {
  // The engine compares extensions and sorts names as bytes: they must be
  // the ordinary UTF-8 bytes, four bytes for a pair, not two halves.
  EXPECT_EQ(Wtf8FromWide(L"\xd55c\xae00.obj"), "\xed\x95\x9c\xea\xb8\x80.obj");
  EXPECT_EQ(Wtf8FromWide(L"\xd83d\xdca9"), "\xf0\x9f\x92\xa9");
  EXPECT_EQ(Wtf8FromWide(L"\x00e9"), "\xc3\xa9");
}

TEST(Win32TextTest, BytesThatAreNotUtf8BecomeReplacementCharacters) {
  // Each bad byte alone; what follows is still read.
  EXPECT_EQ(WideFromWtf8("a\xff" "b"), L"a\xfffd" L"b");
  EXPECT_EQ(WideFromWtf8("\xc0\xaf"), L"\xfffd\xfffd");        // overlong "/"
  EXPECT_EQ(WideFromWtf8("\xe4\xbd"), L"\xfffd\xfffd");        // cut short
  EXPECT_EQ(WideFromWtf8("\xf4\x90\x80\x80"), std::wstring(4, L'\xfffd'));  // past U+10FFFF
}

TEST(Win32TextTest, CommandLineSplitsAsTheCRuntimeSplitsIt) {
  const std::pair<std::wstring, std::vector<std::wstring>> cases[] = {
      {L"bs.exe", {L"bs.exe"}},
      {L"\"C:\\Program Files\\bs.exe\" -n  \t x", {L"C:\\Program Files\\bs.exe", L"-n", L"x"}},
      {L"bs \"a b\"c \"\"", {L"bs", L"a bc", L""}},
      {L"bs a\\\\b C:\\ \"C:\\\\\"", {L"bs", L"a\\\\b", L"C:\\", L"C:\\"}},
      {L"bs a\\\"b \"x\"\"y\"", {L"bs", L"a\"b", L"x\"y"}},
      {L"bs \xd3f4\xb354 /?", {L"bs", L"\xd3f4\xb354", L"/?"}},
  };
  for (const auto& [line, arguments] : cases) {
    EXPECT_EQ(win32::SplitCommandLine(line), arguments) << Wtf8FromWide(line);
  }
}

TEST(Win32TextTest, SystemMessagesAreOneLine) {
  for (unsigned long code : {2ul, 5ul, 32ul, 123ul, 0x7ffffffful}) {
    const std::string message = win32::SystemMessage(code);
    EXPECT_FALSE(message.empty()) << code;
    EXPECT_EQ(message.find_first_of("\r\n"), std::string::npos) << message;
    EXPECT_NE(message.back(), ' ') << message;
  }
}

TEST(Win32TextTest, DriveRootPathsKeepTheirOwnBackslash) {
  // Exactly one backslash is added, even after "C:\".
  std::string path = "C:\\";
  AppendPathComponent(&path, "Debug");
  EXPECT_EQ(path, "C:\\\\Debug");
  AppendPathComponent(&path, "main.obj");
  EXPECT_EQ(path, "C:\\\\Debug\\main.obj");
}

TEST(Win32TextTest, PathsAreConvertedOnlyForKoreanOutput) {
  EXPECT_FALSE(PathsNeedConversion(TextEncoding::kUtf8));
  ASSERT_TRUE(PathsNeedConversion(TextEncoding::kCp949));
  std::string shown = "Z:";
  AppendConvertedPath(&shown, "\\\xed\x95\x9c\xea\xb8\x80\\\xe7\xae\x80\xe4\xbd\x93.obj",
                      TextEncoding::kCp949);
  // Hangul in its CP949 bytes; characters CP949 lacks as '?'.
  EXPECT_EQ(shown, "Z:\\\xc7\xd1\xb1\xdb\\??.obj");
  // Never as a look-alike: U+00C0 (A grave) and the fullwidth U+FF41 are
  // no "A" or "a", or one name could pass for another.
  shown.clear();
  AppendConvertedPath(&shown, "\xc3\x80.obj \xef\xbd\x81.obj", TextEncoding::kCp949);
  EXPECT_EQ(shown, "?.obj \xa3\xe1.obj");  // A grave has no CP949 form; fullwidth a is A3 E1
}

TEST(Win32FileSystemTest, FileHeldWithoutDeleteSharingIsReportedAndTheRestDeleted) {
  namespace fs = std::filesystem;
  const fs::path old_cwd = fs::current_path();
  const fs::path folder = fs::temp_directory_path() / "buildsweep-held";
  fs::remove_all(folder);
  fs::create_directories(folder);
  fs::current_path(folder);
  std::ofstream("a.obj") << "x";
  std::ofstream("z.obj") << "x";
  {
    std::ofstream held("held.obj");  // the C runtime shares reading and writing, not deletion
    held << "x";
    FileSystem& native = NativeFileSystem();
    Dir dir;
    FolderInfo info;
    std::string error;
    ASSERT_TRUE(native.OpenCurrentDirectory(&dir, &info, &error)) << error;
    EXPECT_EQ(native.RemoveFile(dir, "a.obj", &error), RemoveResult::kRemoved);
    error.clear();
    EXPECT_EQ(native.RemoveFile(dir, "held.obj", &error), RemoveResult::kFailed);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(native.RemoveFile(dir, "z.obj", &error), RemoveResult::kRemoved);
  }
  EXPECT_TRUE(fs::exists("held.obj")) << "a refused deletion must not happen later either";
  EXPECT_FALSE(fs::exists("a.obj") || fs::exists("z.obj"));
  fs::current_path(old_cwd);
  fs::remove_all(folder);
}

}  // namespace
}  // namespace platform
