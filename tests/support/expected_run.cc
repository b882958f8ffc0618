#include "tests/support/expected_run.h"

#include <iconv.h>

#include <stdexcept>

#include "engine/dry_run.h"
#include "tests/support/scratch_tree.h"

namespace testsupport {
namespace {

/// `utf8` in CP949, converted by the C library, independent of the program.
std::string ToCp949(const std::string& utf8) {
  iconv_t converter = ::iconv_open("CP949", "UTF-8");
  if (converter == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("no CP949 converter");
  std::string in = utf8;
  std::string out(in.size() * 2, '\0');
  char* in_at = &in[0];
  char* out_at = &out[0];
  std::size_t in_left = in.size();
  std::size_t out_left = out.size();
  const std::size_t result = ::iconv(converter, &in_at, &in_left, &out_at, &out_left);
  ::iconv_close(converter);
  if (result == static_cast<std::size_t>(-1)) throw std::runtime_error("not convertible to CP949");
  out.resize(out.size() - out_left);
  return out;
}

const std::string kBanner(64, '=');
const char kExtensionLine[] =
    "확장자 : pch,mdp,clw,obj,aps,cpl,awk,tmp,exp,idb,opt,map,ilk,scc,bsc,sbr,manifest,dep,log,"
    "suo,tlb,ncb,ncp,bak\n";
const char kStartPrompt[] = "Enter를 치면 쓸데없는 파일 삭제를 시작합니다.\n";
const char kExitPrompt[] = "Enter를 치면 종료합니다.\n";

std::string FolderBody(const std::string& folder, const std::vector<std::string>& deleted) {
  std::string text = "Folder : " + folder + " \n";
  for (const std::string& name : deleted) text += "Delete : " + folder + "/" + name + " \n";
  text += "Remove File Count = " + std::to_string(deleted.size()) + "\n";
  return text + kBanner + "\n\n";
}

std::string Localized(const std::string& utf8, bool cp949) { return cp949 ? ToCp949(utf8) : utf8; }

}  // namespace

std::string Header(bool cp949) {
  return Localized(kExtensionLine, cp949) + Localized(kStartPrompt, cp949);
}

std::string RootLine(const std::string& root) { return "Root Path = " + root + "\n"; }

std::string FolderBlock(const std::string& folder, const std::vector<std::string>& deleted) {
  return kBanner + "\n" + FolderBody(folder, deleted);
}

std::string SilentBlock() { return kBanner + "\n" + kBanner + "\n\n"; }

std::string RootBlock(const std::string& root, const std::vector<std::string>& deleted) {
  return FolderBody(root, deleted);
}

std::string Footer(int total, bool cp949) {
  return "Total Remove File : " + std::to_string(total) + "\n" + Localized(kExitPrompt, cp949);
}

void MakeExampleProject() {
  for (const char* name :
       {"Debug/main.obj", "Debug/proj.ilk", "Debug/proj.pdb", "main.cpp", "proj.ncb", "proj.suo"}) {
    MakeFile(name);
  }
  MakeFolders("res");
}

std::string ExampleRunOutput(const std::string& root) {
  return std::string(kExtensionLine) + kStartPrompt + "Root Path = " + root +
         "\n"
         "================================================================\n"
         "Folder : " +
         root +
         "/Debug \n"
         "Delete : " +
         root +
         "/Debug/main.obj \n"
         "Delete : " +
         root +
         "/Debug/proj.ilk \n"
         "Remove File Count = 2\n"
         "================================================================\n"
         "\n"
         "================================================================\n"
         "Folder : " +
         root +
         "/res \n"
         "Remove File Count = 0\n"
         "================================================================\n"
         "\n"
         "Folder : " +
         root +
         " \n"
         "Delete : " +
         root +
         "/proj.ncb \n"
         "Delete : " +
         root +
         "/proj.suo \n"
         "Remove File Count = 2\n"
         "================================================================\n"
         "\n"
         "Total Remove File : 4\n" +
         kExitPrompt;
}

std::string AsDryRun(const std::string& real_output, unsigned long long bytes,
                     unsigned long long freed) {
  const auto size_line = [](const char* label, unsigned long long count) {
    std::string line = label + std::to_string(count) + " bytes";
    const std::string readable = engine::ReadableSize(count);
    return readable.empty() ? line + "\n" : line + " (" + readable + ")\n";
  };
  std::string dry;
  for (std::size_t start = 0; start < real_output.size();) {
    const std::size_t line_feed = real_output.find('\n', start);
    const std::size_t end = line_feed == std::string::npos ? real_output.size() : line_feed + 1;
    const std::string line = real_output.substr(start, end - start);
    start = end;
    if (line == kStartPrompt || line == kExitPrompt) continue;
    if (line.rfind("Delete : ", 0) == 0) {
      dry += "Would delete : " + line.substr(9);
    } else {
      dry += line;
    }
    if (line.rfind("Total Remove File : ", 0) == 0) {
      dry += size_line("Total Size : ", bytes) + size_line("Space Freed : ", freed);
    }
  }
  return dry;
}


std::set<std::string> DeletedPaths(std::string_view report) {
  static constexpr std::string_view kLabel = "Delete : ";
  std::set<std::string> paths;
  std::size_t at = 0;
  while (at < report.size()) {
    std::size_t end = report.find('\n', at);
    if (end == std::string_view::npos) end = report.size();
    std::string_view line = report.substr(at, end - at);
    // A line cut short by the end of the output has no trailing blank.
    if (line.substr(0, kLabel.size()) == kLabel && line.size() > kLabel.size() && line.back() == ' ') {
      paths.emplace(line.substr(kLabel.size(), line.size() - kLabel.size() - 1));
    }
    at = end + 1;
  }
  return paths;
}

std::size_t CountOf(std::string_view text, std::string_view needle) {
  std::size_t count = 0;
  for (std::size_t at = text.find(needle); at != std::string_view::npos;
       at = text.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

long TotalOf(const std::string& report) {
  const std::size_t at = report.find("Total Remove File : ");
  return at == std::string::npos ? -1 : std::stol(report.substr(at + 20));
}

}  // namespace testsupport
