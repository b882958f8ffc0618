#include "driver/options.h"

#include <string_view>

#include "driver/version.h"
#include "platform/file_system.h"
#include "platform/process.h"
#include "platform/trash.h"

namespace driver {
namespace {

/// Stores an option's effect in `options`. `value` is the option's value
/// (empty for a switch); the result is the problem with it, or empty.
using ApplyOption = std::string (*)(Options* options, std::string_view value);

/// One option the command line knows. To add one with a value (a count,
/// say), give it `takes_value` and an `apply` that checks the value and
/// answers with the problem when it is not acceptable.
struct OptionRule {
  char short_name;  ///< '\0' for a long option alone
  std::string_view long_name;
  bool takes_value;
  ApplyOption apply;
};

std::string AddExclusion(Options* options, std::string_view pattern) {
  // No name is empty, so an empty pattern would exclude nothing: most likely
  // a variable that was meant to hold one.
  if (pattern.empty()) return "exclusion '' is empty; it would match no name";
  // Patterns are matched against a bare name, which never holds a
  // separator: such a pattern would silently exclude nothing.
  if (pattern.find('/') != std::string_view::npos ||
      pattern.find(platform::kPathSeparator) != std::string_view::npos) {
    return "exclusion '" + std::string(pattern) + "' holds a path separator; it is matched " +
           "against names alone";
  }
  options->exclusions.emplace_back(pattern);
  return std::string();
}

// An option without a value that only switches `flag` on.
template <bool Options::*flag>
std::string SetFlag(Options* options, std::string_view) {
  options->*flag = true;
  return std::string();
}
std::string SetTrash(Options* options, std::string_view) {
  const std::string unsupported = platform::NativeTrashSystem().Unsupported();
  if (!unsupported.empty()) {
    return "option '--trash' is not available on this system: " + unsupported;
  }
  options->trash = true;
  return std::string();
}

std::string SetJobs(Options* options, std::string_view value) {
  // A thousand threads would only wait on each other: anything above that
  // is taken for a typo.
  constexpr unsigned kMostJobs = 1024;
  unsigned jobs = 0;
  for (const char c : value) {
    if (c < '0' || c > '9' || jobs > kMostJobs) {
      jobs = 0;
      break;
    }
    jobs = jobs * 10 + static_cast<unsigned>(c - '0');
  }
  if (jobs < 1 || jobs > kMostJobs) {
    return "the number of threads must be from 1 to " + std::to_string(kMostJobs) + ", not '" +
           std::string(value) + "'";
  }
  options->jobs = jobs;
  return std::string();
}

// "90m", "7d": a count of seconds, minutes, hours, days or weeks. An age
// with no unit is refused: "7" could as well mean days as seconds.
std::string SetOlderThan(Options* options, std::string_view value) {
  // Past this the cut-off, in nanoseconds, would not fit in 64 bits.
  constexpr long long kMostSeconds = 9'000'000'000;
  const std::string problem = "age '" + std::string(value) +
                              "' must be a whole number followed by s, m, h, d or w (as in 90m "
                              "or 7d)";
  if (value.size() < 2) return problem;
  long long unit = 0;
  switch (value.back()) {
    case 's': unit = 1; break;
    case 'm': unit = 60; break;
    case 'h': unit = 60 * 60; break;
    case 'd': unit = 24 * 60 * 60; break;
    case 'w': unit = 7 * 24 * 60 * 60; break;
    default: return problem;
  }
  // Every character is checked before the size is: "9999999999x9s" is of
  // the wrong form, not too large.
  long long count = 0;
  for (const char c : value.substr(0, value.size() - 1)) {
    if (c < '0' || c > '9') return problem;
    // Held just above the bound, so that it can't overflow.
    if (count <= kMostSeconds) count = count * 10 + (c - '0');
  }
  if (count > kMostSeconds / unit) {
    return "age '" + std::string(value) + "' is too large";
  }
  options->older_than_seconds = count * unit;
  return std::string();
}

const OptionRule kOptionRules[] = {
    {'h', "help", false, SetFlag<&Options::show_help>},
    {'V', "version", false, SetFlag<&Options::show_version>},
    {'n', "dry-run", false, SetFlag<&Options::dry_run>},
    {'y', "yes", false, SetFlag<&Options::no_prompts>},
    {'x', "exclude", true, AddExclusion},
    {'j', "jobs", true, SetJobs},
    {'\0', "include-tracked", false, SetFlag<&Options::include_tracked>},
    {'\0', "older-than", true, SetOlderThan},
    {'\0', "trash", false, SetTrash},
    {'\0', "json", false, SetFlag<&Options::json>},
    {'\0', "ask", false, SetFlag<&Options::ask>},
};

const OptionRule* FindShort(char name) {
  for (const OptionRule& rule : kOptionRules) {
    if (rule.short_name == name && name != '\0') return &rule;
  }
  return nullptr;
}

// The rule whose long name is `name` or, failing that, the only one that
// starts with it. Sets `ambiguous` when several start with it.
const OptionRule* FindLong(std::string_view name, bool* ambiguous) {
  const OptionRule* found = nullptr;
  int prefix_matches = 0;
  for (const OptionRule& rule : kOptionRules) {
    if (rule.long_name == name) return &rule;
    if (rule.long_name.substr(0, name.size()) == name) {
      found = &rule;
      ++prefix_matches;
    }
  }
  *ambiguous = prefix_matches > 1;
  return prefix_matches == 1 ? found : nullptr;
}

/// Walks the arguments once, filling `result`.
class Parser {
 public:
  Parser(const std::vector<std::string>& arguments, ParsedCommandLine* result)
      : arguments_(arguments), result_(result) {}

  void Parse() {
    bool options_ended = false;
    for (next_ = 0; next_ < arguments_.size() && result_->error.empty();) {
      const std::string& argument = arguments_[next_++];
      if (options_ended || argument.size() < 2 || argument[0] != '-') {
        if (!options_ended && platform::IsSystemHelpSwitch(argument)) {
          result_->options.show_help = true;
        } else {
          result_->options.folders.push_back(argument);
        }
      } else if (argument == "--") {
        options_ended = true;
      } else if (argument[1] == '-') {
        ParseLong(std::string_view(argument).substr(2));
      } else {
        ParseShortGroup(std::string_view(argument).substr(1));
      }
    }
  }

 private:
  void ParseLong(std::string_view text) {
    const std::size_t equals = text.find('=');
    const std::string_view name = text.substr(0, equals);
    bool ambiguous = false;
    const OptionRule* rule = FindLong(name, &ambiguous);
    if (rule == nullptr) {
      Fail(std::string(ambiguous ? "ambiguous option '--" : "unknown option '--") +
           std::string(name) + "'");
      return;
    }
    const std::string shown = "--" + std::string(rule->long_name);
    if (!rule->takes_value) {
      if (equals != std::string_view::npos) {
        Fail("option '" + shown + "' takes no value");
        return;
      }
      Apply(*rule, std::string_view());
    } else if (equals != std::string_view::npos) {
      Apply(*rule, text.substr(equals + 1));
    } else {
      ApplyNextArgument(*rule, shown);
    }
  }

  // "-nyx GLOB": switches up to the first option that takes a value, which
  // takes the rest of the argument or, if nothing is left, the next one.
  void ParseShortGroup(std::string_view group) {
    for (std::size_t i = 0; i < group.size() && result_->error.empty(); ++i) {
      const OptionRule* rule = FindShort(group[i]);
      if (rule == nullptr) {
        Fail("unknown option '-" + std::string(1, group[i]) + "'");
        return;
      }
      if (!rule->takes_value) {
        Apply(*rule, std::string_view());
        continue;
      }
      if (i + 1 < group.size()) {
        Apply(*rule, group.substr(i + 1));
      } else {
        ApplyNextArgument(*rule, "-" + std::string(1, rule->short_name));
      }
      return;
    }
  }

  void ApplyNextArgument(const OptionRule& rule, const std::string& shown) {
    if (next_ == arguments_.size()) {
      Fail("option '" + shown + "' needs a value");
      return;
    }
    Apply(rule, arguments_[next_++]);
  }

  void Apply(const OptionRule& rule, std::string_view value) {
    std::string problem = rule.apply(&result_->options, value);
    if (!problem.empty()) Fail(std::move(problem));
  }

  void Fail(std::string problem) { result_->error = std::move(problem); }

  const std::vector<std::string>& arguments_;
  ParsedCommandLine* result_;
  std::size_t next_ = 0;
};

}  // namespace

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
  ParsedCommandLine result;
  Parser(arguments, &result).Parse();
  if (result.error.empty() && result.options.ask && result.options.no_prompts) {
    result.error = "options '--ask' and '--yes' contradict each other";
  }
  return result;
}

std::string HelpText() {
  std::string text =
      "Usage: buildsweep [OPTION]... [FOLDER]...\n"
      "Delete the by-products of compilers, linkers and IDEs (object files,\n"
      "precompiled headers, link and browse databases, temp, log and backup\n"
      "files) in each FOLDER and every folder below it, or in the current\n"
      "folder when none is given. Links are never followed.\n"
      "\n"
      "Options:\n"
      "  -n, --dry-run        list what would be deleted, its size and the disk\n"
      "                       space deleting it would free; delete nothing,\n"
      "                       ask nothing\n"
      "  -y, --yes            ask nothing: no prompt before or after the run\n"
      "  -x, --exclude=GLOB   do not enter folders, and keep files, whose name\n"
      "                       matches GLOB (*, ?, [...]); may be repeated\n"
      "  -j, --jobs=N         clean with up to N threads, 1 to 1024: one per\n"
      "                       processor this process may use at first, four\n"
      "                       times as many once listings wait on a cold disk,\n"
      "                       all N once they wait on a share (default: one per\n"
      "                       processor, at most 8, and up to 32; 1 on\n"
      "                       Windows); the report is the same for any N\n"
      "      --include-tracked\n"
      "                       delete listed files that git tracks too; by default\n"
      "                       a file its work tree's index tracks is kept\n"
      "      --older-than=AGE keep listed files modified less than AGE ago (a\n"
      "                       number and s, m, h, d or w: 90m, 7d) and any dated\n"
      "                       in the future; the time is read just before each\n"
      "                       file goes, so one changed after that goes all the same\n"
      "      --trash          move the files into the desktop's trash instead of\n"
      "                       deleting them, from where any file manager restores\n"
      "                       them: the home trash (~/.local/share/Trash) for files\n"
      "                       on its file system, elsewhere the file system's own\n"
      "                       (.Trash/UID or .Trash-UID at its top); a file with no\n"
      "                       trash on its file system is kept (not on Windows)\n"
      "      --json           report in JSON Lines, one object a line (see the\n"
      "                       man page), and ask nothing\n"
      "      --ask            ask at the start and at the end even with -n or --json\n"
      "  -h, --help           show this help and exit\n"
      "  -V, --version        show the version and exit\n";
  if (platform::IsSystemHelpSwitch("/?")) {
    text += "  /?                   show this help and exit\n";
  }
  text +=
      "\n"
      "Examples:\n"
      "  buildsweep -n ~/src/app        see what would go, and how much space\n"
      "  buildsweep -y ~/src/app ~/src/lib\n"
      "                                 clean two projects without prompts\n"
      "  buildsweep -x third_party -x '*.log'\n"
      "                                 clean here, but not in third_party or logs\n"
      "  buildsweep -j 1                clean here with one thread\n"
      "  buildsweep --older-than 7d -y  clean here, but keep a week's work\n"
      "  buildsweep --trash ~/src/app   clean, into the trash\n"
      "  buildsweep -n --json > plan.jsonl\n"
      "                                 what would go, for a script to read\n"
      "\n"
      "Exit status: 0 after a normal run; 1 when input ended at the final prompt;\n"
      "2 when the run could not do all it should (a file not deleted, a folder\n"
      "not read, the current folder not resolved or inside a version-control\n"
      "database, a git index not read, memory exhausted, the report not\n"
      "written) or the command line was wrong.\n";
  return text;
}

std::string VersionText() { return std::string("buildsweep ") + kVersion + "\n"; }

}  // namespace driver
