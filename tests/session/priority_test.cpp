// The priority classes' plans.
#include <gtest/gtest.h>

#include "posix/session/priority.h"

namespace {

TEST(Priority, LowestPermittedNice) {
  struct Case {
    long long Rlimit;
    int Lowest;
    bool Cap;
  };
  const Case cases[] = {{0, -20, true}, {0, 20, false}, {25, -5, false}, {1000, -20, false}};
  for (const Case& c : cases)
    EXPECT_EQ(session::LowestPermittedNice(c.Cap, c.Rlimit), c.Lowest) << c.Cap << " " << c.Rlimit;
}

TEST(Priority, PlansNeverLeaveTheProcessUnableToReturnToNormal) {
  using session::SchedPolicy;
  struct Case {
    const char* Name;
    DWORD Class;
    int Base;
    int Lowest;
    SchedPolicy Policy;
    int Nice;
  };
  const Case cases[] = {
      {"normal keeps the nice value the user started with", NORMAL_PRIORITY_CLASS, 5, 20,
       SchedPolicy::Other, 5},
      {"idle, unprivileged: SCHED_BATCH, since SCHED_IDLE counts as nice 20", IDLE_PRIORITY_CLASS,
       0, 20, SchedPolicy::Batch, 0},
      {"idle, RLIMIT_NICE allowing the way back", IDLE_PRIORITY_CLASS, 0, 0, SchedPolicy::Idle, 0},
      {"idle, RLIMIT_NICE one short", IDLE_PRIORITY_CLASS, 0, 1, SchedPolicy::Batch, 0},
      {"high, privileged", HIGH_PRIORITY_CLASS, 0, -20, SchedPolicy::Other,
       -session::HighPriorityBoost},
      {"high, as far as RLIMIT_NICE allows", HIGH_PRIORITY_CLASS, 0, -4, SchedPolicy::Other, -4},
      {"high from a niced start", HIGH_PRIORITY_CLASS, 10, 20, SchedPolicy::Other, 10},
      {"high never below -20", HIGH_PRIORITY_CLASS, -15, -20, SchedPolicy::Other, -20},
  };
  for (const Case& c : cases) {
    session::PriorityPlan plan{SchedPolicy::Idle, 99};
    ASSERT_TRUE(session::PlanPriority(c.Class, session::PriorityLimits{c.Base, c.Lowest}, &plan))
        << c.Name;
    EXPECT_EQ(plan.Policy, c.Policy) << c.Name;
    EXPECT_EQ(plan.Nice, c.Nice) << c.Name;
    // Whatever the plan, normal must be reachable from it: a nice value at or
    // above the lowest permitted, and SCHED_IDLE only when leaving it is.
    EXPECT_TRUE(plan.Nice >= c.Base || plan.Nice >= c.Lowest) << c.Name;
    if (plan.Policy == SchedPolicy::Idle) {
      EXPECT_LE(c.Lowest, c.Base) << c.Name;
    }
  }
}

}  // namespace
