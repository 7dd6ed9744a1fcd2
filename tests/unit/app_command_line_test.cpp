#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/command_line.h"

namespace {

struct Answer {
  int status;
  std::string text;
};

Answer Ask(std::vector<const char*> args) {
  args.insert(args.begin(), "rousel");
  std::FILE* out = std::tmpfile();
  EXPECT_NE(out, nullptr);
  const int status = AnswerCommandLine(static_cast<int>(args.size()), args.data(), out);
  std::string text;
  std::rewind(out);
  for (int c = std::fgetc(out); c != EOF; c = std::fgetc(out)) text += static_cast<char>(c);
  std::fclose(out);
  return {status, text};
}

TEST(CommandLineTest, AnswersOnlyTheTwoWordsAsFirstArgument) {
  struct Case {
    std::vector<const char*> args;
    int status;               // -1: not answered, the alarm clock starts
    const char* mustContain;  // nullptr: nothing may be written
  };
  const Case cases[] = {
      {{"--version"}, 0, "Rousel " ROUSEL_TEST_VERSION "\n"},
      {{"--version", "--help"}, 0, "Rousel " ROUSEL_TEST_VERSION "\n"},
      {{"--help"}, 0, "man rousel"},
      {{"--help", "--version"}, 0, "rousel-keydump"},
      {{}, -1, nullptr},
      {{""}, -1, nullptr},
      {{"-h"}, -1, nullptr},
      {{"help"}, -1, nullptr},
      {{"--HELP"}, -1, nullptr},
      {{"--help "}, -1, nullptr},
      {{"--version=1"}, -1, nullptr},
      {{"-v"}, -1, nullptr},
      {{"07:30", "--help"}, -1, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
    const Answer answer = Ask(c.args);
    EXPECT_EQ(answer.status, c.status);
    if (c.mustContain == nullptr) {
      EXPECT_EQ(answer.text, "");
    } else {
      EXPECT_NE(answer.text.find(c.mustContain), std::string::npos) << answer.text;
    }
  }
  EXPECT_EQ(Ask({"--version"}).text, "Rousel " ROUSEL_TEST_VERSION "\n");
}

TEST(CommandLineTest, HelpNamesTheKeysAndFitsATerminal) {
  const std::string text = Ask({"--help"}).text;
  for (const char* word : {"alarm clock", "HH:MM", "Esc", "Alt+X", "T or 1-5", "S ", "P "}) {
    EXPECT_NE(text.find(word), std::string::npos) << word;
  }
  size_t start = 0;
  for (size_t end = text.find('\n'); end != std::string::npos; end = text.find('\n', start)) {
    EXPECT_LE(end - start, 79U) << text.substr(start, end - start);
    start = end + 1;
  }
  EXPECT_EQ(start, text.size()) << "the text ends with a line end";
}

TEST(CommandLineTest, AFailedWriteIsNoAnswerGiven) {
  std::FILE* full = std::fopen("/dev/full", "w");
  if (full == nullptr) GTEST_SKIP() << "no /dev/full";
  const char* args[] = {"rousel", "--version"};
  EXPECT_EQ(AnswerCommandLine(2, args, full), 1);
  std::fclose(full);
}

}  // namespace
