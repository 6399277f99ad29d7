// The man page, the README and --help must name the same options and the
// same exit codes; a new option documented in one place only fails here.

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "run/command_line.h"

namespace vorbex {
namespace {

using Names = std::set<std::string>;

std::string Slurp(const char* path) {
  std::ifstream in(path);
  EXPECT_TRUE(in) << path;
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The text between the line that starts with `start` and the next line
// that starts with `next` (or the end).
std::string Section(const std::string& text, const std::string& start,
                    const std::string& next) {
  const size_t from = text.find("\n" + start);
  if (from == std::string::npos) return "";
  const size_t to = text.find("\n" + next, from + 1);
  return text.substr(from, to == std::string::npos ? to : to - from);
}

void Collect(const std::string& text, const std::regex& pattern, Names* out) {
  for (std::sregex_iterator it(text.begin(), text.end(), pattern), end;
       it != end; ++it) {
    out->insert((*it)[1]);
  }
}

// Roff writes a dash as "\-"; the option lines are the ones after ".TP".
std::string ManLines(const std::string& section, const std::string& after) {
  std::string lines;
  std::istringstream in(section);
  bool next = false;
  for (std::string line; std::getline(in, line);) {
    if (next)
      lines += std::regex_replace(line, std::regex(R"(\\-)"), "-") + "\n";
    next = line.rfind(after, 0) == 0;
  }
  return lines;
}

const std::regex kOption(R"((?:^|[ ,`\s])(--?[a-z][a-z-]*))");

TEST(DocTest, ManPageReadmeAndHelpNameTheSameOptions) {
  const std::string man = Slurp(VORBEX_MAN_PAGE);
  const std::string readme = Slurp(VORBEX_README);
  Names in_man;
  Names in_readme;
  Names in_help;
  Collect(ManLines(Section(man, ".SH OPTIONS", ".SH"), ".TP"), kOption,
          &in_man);
  // The rows of the option table, which start with the option itself.
  Collect(Section(readme, "## Usage", "### "),
          std::regex(R"(\n\| `(--?[a-z][a-z-]*))"), &in_readme);
  Collect(Section(readme, "## Usage", "### "),
          std::regex(R"(, `(--?[a-z][a-z-]*)`)"), &in_readme);
  std::istringstream help(kHelp);
  for (std::string line; std::getline(help, line);) {
    if (line.rfind("  -", 0) == 0) Collect(line, kOption, &in_help);
  }
  EXPECT_GE(in_man.size(), 12u);
  EXPECT_EQ(in_man, in_readme);
  EXPECT_EQ(in_man, in_help);
}

TEST(DocTest, ManPageAndReadmeGiveTheSameExitCodes) {
  const std::string man = Slurp(VORBEX_MAN_PAGE);
  const std::string readme = Slurp(VORBEX_README);
  Names in_man;
  Names in_readme;
  Collect(ManLines(Section(man, ".SH EXIT STATUS", ".SH"), ".TP"),
          std::regex(R"(\.B (\d+))"), &in_man);
  Collect(Section(readme, "## Exit codes", "## "),
          std::regex(R"(\| (\d+) \|\n)"), &in_readme);
  EXPECT_FALSE(in_man.empty());
  EXPECT_EQ(in_man, in_readme);
  // The page's header carries the version the build was made as.
  EXPECT_NE(man.find("\"Vorbex " VORBEX_VERSION "\""), std::string::npos);
}

}  // namespace
}  // namespace vorbex
