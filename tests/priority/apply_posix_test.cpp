// The priority classes where the system has no per-thread policies
// (standin/terminal/priority/apply_posix.cpp), built here on any POSIX
// system: the process's nice value alone, never lowered, so that normal can
// always come back.  Each row runs in a child of its own: the classes are
// the process's, and the limits are taken once.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include "standin/terminal/priority/priority.h"
#include "win32/win32.h"

namespace {

struct Row {
  const char* Name;
  int StartNice;
  DWORD Classes[3];  // applied in order; 0 ends the list
  bool Taken;        // every one of them
};

class ApplyPosix : public ::testing::TestWithParam<Row> {};

// 0 when every class was answered as the row says and the nice value is
// still where it started; else which step differed.
int ApplyAll(const Row& row) {
  if (setpriority(PRIO_PROCESS, 0, row.StartNice) != 0) return 1;
  for (int i = 0; i < 3 && row.Classes[i] != 0; ++i) {
    if (priority::ApplyPriorityClass(row.Classes[i]) != row.Taken) return 10 + i;
    if (getpriority(PRIO_PROCESS, 0) != row.StartNice) return 20 + i;
  }
  return 0;
}

TEST_P(ApplyPosix, KeepsTheNiceValue) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(_exit(ApplyAll(GetParam())), testing::ExitedWithCode(0), "");
}

INSTANTIATE_TEST_SUITE_P(
    Priority, ApplyPosix,
    ::testing::Values(Row{"HighIdleNormalFrom3",
                          3,
                          {HIGH_PRIORITY_CLASS, IDLE_PRIORITY_CLASS, NORMAL_PRIORITY_CLASS},
                          true},
                      Row{"IdleHighFrom7", 7, {IDLE_PRIORITY_CLASS, HIGH_PRIORITY_CLASS, 0}, true},
                      Row{"AClassWithoutAPlan", 3, {0x100, 0, 0}, false}),
    [](const ::testing::TestParamInfo<Row>& row) { return std::string(row.param.Name); });

}  // namespace
