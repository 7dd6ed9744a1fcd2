// The command line of app/command_line.cpp.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "app/command_line.h"

namespace {

// The status and the text of "rousel args...", written to out (closed
// afterwards; by default a temporary file).
std::pair<int, std::string> Ask(std::vector<const char*> args, std::FILE* out = std::tmpfile()) {
  args.insert(args.begin(), "rousel");
  args.push_back(nullptr);  // argv[argc], as main is given it
  const int status = AnswerCommandLine(static_cast<int>(args.size() - 1), args.data(), out);
  std::string text(4096, '\0');
  std::rewind(out);
  text.resize(std::fread(text.data(), 1, text.size(), out));
  std::fclose(out);
  return {status, text};
}

// Only "--help" and "--version" as the first argument are answered, and a
// full disk or a closed pipe is no answer given.
TEST(CommandLineTest, AnswersOnlyTheTwoWordsAsFirstArgument) {
  EXPECT_EQ(Ask({"--version"}), std::pair(0, std::string("Rousel " ROUSEL_TEST_VERSION "\n")));
  const auto [status, help] = Ask({"--help", "--version"});
  EXPECT_EQ(status, 0);
  EXPECT_NE(help.find("man rousel"), std::string::npos) << help;
  for (const auto& args : std::vector<std::vector<const char*>>{{}, {"-h"}, {"07:30", "--help"}})
    EXPECT_EQ(Ask(args), std::pair(-1, std::string())) << args.size();
  std::FILE* full = std::fopen("/dev/full", "w");
  if (full == nullptr) GTEST_SKIP() << "no /dev/full";
  EXPECT_EQ(Ask({"--version"}, full).first, 1);
}

}  // namespace
