// The priority classes' plans.
#include <gtest/gtest.h>

#include "posix/session/priority.h"

namespace {

TEST(Priority, LowestPermittedNice) {
  struct Case {
    bool Cap;
    long long Rlimit;
    int Lowest;
  };
  for (const Case c :
       {Case{true, 0, -20}, Case{false, 0, 20}, Case{false, 25, -5}, Case{false, 1000, -20}})
    EXPECT_EQ(session::LowestPermittedNice(c.Cap, c.Rlimit), c.Lowest) << c.Cap << " " << c.Rlimit;
}

TEST(Priority, PlansNeverLeaveTheProcessUnableToReturnToNormal) {
  using enum session::SchedPolicy;
  struct Case {
    const char* Name;
    DWORD Class;
    int Base, Lowest;
    session::SchedPolicy Policy;
    int Nice;
  };
  const Case cases[] = {
      {"normal keeps the user's nice value", NORMAL_PRIORITY_CLASS, 5, 20, Other, 5},
      {"idle, unprivileged (SCHED_IDLE counts as 20)", IDLE_PRIORITY_CLASS, 0, 20, Batch, 0},
      {"idle, RLIMIT_NICE allowing the way back", IDLE_PRIORITY_CLASS, 0, 0, Idle, 0},
      {"idle, RLIMIT_NICE one short", IDLE_PRIORITY_CLASS, 0, 1, Batch, 0},
      {"high, privileged", HIGH_PRIORITY_CLASS, 0, -20, Other, -session::HighPriorityBoost},
      {"high, as far as RLIMIT_NICE allows", HIGH_PRIORITY_CLASS, 0, -4, Other, -4},
      {"high from a niced start", HIGH_PRIORITY_CLASS, 10, 20, Other, 10},
      {"high never below -20", HIGH_PRIORITY_CLASS, -15, -20, Other, -20},
  };
  for (const Case& c : cases) {
    session::PriorityPlan plan{Idle, 99};
    ASSERT_TRUE(session::PlanPriority(c.Class, {c.Base, c.Lowest}, &plan)) << c.Name;
    EXPECT_EQ(plan.Policy, c.Policy) << c.Name;
    EXPECT_EQ(plan.Nice, c.Nice) << c.Name;
  }
}

}  // namespace
