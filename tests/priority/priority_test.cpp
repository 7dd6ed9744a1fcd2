// The priority classes of the terminal end (standin/terminal/priority/):
// the plans, and a real process taking them.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <tuple>
#include <utility>

#include "standin/terminal/priority/priority.h"
#include "win32/win32.h"

namespace {

// The plans: whatever the class, normal stays reachable (a nice value at or
// above the lowest permitted, SCHED_IDLE only where leaving it is).
TEST(PriorityTest, PlansNeverLeaveTheProcessUnableToReturnToNormal) {
  using enum priority::SchedPolicy;
  // What the plan is for: the class, the nice value it starts from, whether
  // the process may raise its priority, RLIMIT_NICE; what it plans.
  using Case = std::tuple<const char*, DWORD, int, bool, long long, priority::SchedPolicy, int>;
  const Case cases[] = {
      {"normal keeps the user's nice value", NORMAL_PRIORITY_CLASS, 5, false, 0, Other, 5},
      {"idle, unprivileged (SCHED_IDLE counts as 20)", IDLE_PRIORITY_CLASS, 0, false, 0, Batch, 0},
      {"idle, RLIMIT_NICE allowing the way back", IDLE_PRIORITY_CLASS, 0, false, 20, Idle, 0},
      {"idle, RLIMIT_NICE one short", IDLE_PRIORITY_CLASS, 0, false, 19, Batch, 0},
      {"high, privileged", HIGH_PRIORITY_CLASS, 0, true, 0, Other, -priority::HighPriorityBoost},
      {"high, as far as RLIMIT_NICE allows", HIGH_PRIORITY_CLASS, 0, false, 24, Other, -4},
      {"high from a niced start", HIGH_PRIORITY_CLASS, 10, false, 0, Other, 10},
      {"high never below -20", HIGH_PRIORITY_CLASS, -15, false, 1000, Other, -20},
  };
  for (const auto& [name, priorityClass, base, cap, rlimitNice, policy, nice] : cases) {
    priority::PriorityPlan plan{Idle, 99};
    const int lowest = priority::LowestPermittedNice(cap, rlimitNice);
    ASSERT_TRUE(priority::PlanPriority(priorityClass, {base, lowest}, &plan)) << name;
    EXPECT_EQ(std::pair(plan.Policy, plan.Nice), std::pair(policy, nice)) << name;
  }
}

// On a real process, as nobody: where RLIMIT_NICE lets the user lower the
// nice value a few steps (limits.conf's "nice" item), high goes as far as
// that and idle is SCHED_IDLE, the way back being permitted; where it lets
// none (root without CAP_SYS_RESOURCE cannot raise it), high keeps the nice
// value and idle is SCHED_BATCH.  Normal returns to where the process
// started.  Returns the step that failed, 0 if none.
int PriorityClassesAsNobody() {
  const rlimit four{24, 24};  // the lowest nice value is 20 - 24 = -4
  const bool permitted = setrlimit(RLIMIT_NICE, &four) == 0;
  if (setuid(65534) != 0) return 10;
  const HANDLE self = GetCurrentProcess();
  const int base = getpriority(PRIO_PROCESS, 0);
  if (SetPriorityClass(self, HIGH_PRIORITY_CLASS) == FALSE) return 11;
  const int high = permitted ? std::max(base - priority::HighPriorityBoost, -4) : base;
  if (getpriority(PRIO_PROCESS, 0) != high) return 12;
  if (SetPriorityClass(self, IDLE_PRIORITY_CLASS) == FALSE) return 13;
  if (sched_getscheduler(0) != (permitted ? SCHED_IDLE : SCHED_BATCH)) return 14;
  if (SetPriorityClass(self, NORMAL_PRIORITY_CLASS) == FALSE) return 15;
  if (sched_getscheduler(0) != SCHED_OTHER || getpriority(PRIO_PROCESS, 0) != base) return 16;
  return 0;
}

TEST(PriorityTest, ARealProcessTakesWhatItIsPermittedAndComesBack) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to set RLIMIT_NICE up and become nobody";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(_exit(PriorityClassesAsNobody()), testing::ExitedWithCode(0), "");
}

}  // namespace
