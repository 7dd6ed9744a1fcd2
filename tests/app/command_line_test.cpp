// The command line of app/command_line.cpp.
#include <string>
#include <utility>
#include <vector>

#include "tests/app/app_test_support.h"

namespace {

// Only "--help" and "--version" as the first argument are answered, and a
// full disk or a closed pipe is no answer given.
TEST(CommandLineTest, AnswersOnlyTheTwoWordsAsFirstArgument) {
  EXPECT_EQ(AskCommandLine({"--version", "--help"}).second, "Rousel " ROUSEL_TEST_VERSION "\n");
  const auto [status, help] = AskCommandLine({"--help", "--version"});
  EXPECT_EQ(status, 0);
  EXPECT_NE(help.find("man rousel"), std::string::npos) << help;
  for (const auto& args : std::vector<std::vector<const char*>>{{}, {"-h"}, {"07:30", "--help"}})
    EXPECT_EQ(AskCommandLine(args), std::pair(-1, std::string())) << args.size();
  std::FILE* full = std::fopen("/dev/full", "w");
  if (full == nullptr) GTEST_SKIP() << "no /dev/full";
  EXPECT_EQ(AskCommandLine({"--version"}, full).first, 1);
}

}  // namespace
