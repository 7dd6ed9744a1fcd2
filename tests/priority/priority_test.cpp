// The priority classes of the terminal end (standin/terminal/priority/):
// the plans, and a real process taking them.
#include <dirent.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <tuple>
#include <utility>
#include <vector>

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
      {"high, privileged: ten steps", HIGH_PRIORITY_CLASS, 0, true, 0, Other, -10},
      {"high, privileged, from -15", HIGH_PRIORITY_CLASS, -15, true, 0, Other, -20},
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

// CAP_SYS_NICE permits every nice value; RLIMIT_NICE r down to 20 - r, an
// out-of-range limit taken as the nearest.
TEST(PriorityTest, TheLowestPermittedNiceValue) {
  for (const auto& [cap, rlimitNice, lowest] :
       {std::tuple{true, 0LL, -20}, std::tuple{false, 0LL, 20}, std::tuple{false, 20LL, 0},
        std::tuple{false, 40LL, -20}, std::tuple{false, 1000LL, -20},
        std::tuple{false, -5LL, 20}}) {
    EXPECT_EQ(priority::LowestPermittedNice(cap, rlimitNice), lowest) << cap << " " << rlimitNice;
  }
}

// A start value outside the nice range is taken as the nearest end, no plan
// goes below -20 whatever the limits say, and a class the program does not
// use has no plan.
TEST(PriorityTest, PlansKeepToTheNiceRange) {
  using enum priority::SchedPolicy;
  using Case = std::tuple<const char*, DWORD, priority::PriorityLimits, bool, int>;
  const Case cases[] = {
      {"normal from below the range", NORMAL_PRIORITY_CLASS, {-25, 20}, true, -20},
      {"normal at the bottom", NORMAL_PRIORITY_CLASS, {-20, -20}, true, -20},
      {"normal at the top", NORMAL_PRIORITY_CLASS, {19, 20}, true, 19},
      {"normal from above the range", NORMAL_PRIORITY_CLASS, {25, 20}, true, 19},
      {"high with limits below the range", HIGH_PRIORITY_CLASS, {-15, -25}, true, -20},
      {"a class without a plan (real time)", 0x100, {0, -20}, false, 99},
      {"no class at all", 0, {0, -20}, false, 99},
  };
  for (const auto& [name, priorityClass, limits, planned, nice] : cases) {
    priority::PriorityPlan plan{Idle, 99};
    EXPECT_EQ(priority::PlanPriority(priorityClass, limits, &plan), planned) << name;
    EXPECT_EQ(plan.Nice, nice) << name;
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
  const int high = permitted ? std::max(base - 10, -4) : base;
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

// Whether this process has a capability (bits 0 to 31) in its effective
// set, and taking it out: CAP_SYS_NICE's, root that may not raise
// priorities.
bool Capable(int capability, bool drop) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  const bool has = (data[0].effective & (1u << capability)) != 0;
  if (!drop) return has;
  data[0].effective &= ~(1u << capability);
  return syscall(SYS_capset, &header, data) == 0;
}

int OpenDescriptors() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++count;
    closedir(dir);
  }
  return count;
}

// One SetPriorityClass and what the process has afterwards.
struct Step {
  bool DropCapSysNiceFirst;
  DWORD Class;
  BOOL Taken;
  int Policy;
  int Nice;
};

struct Scenario {
  const char* Name;
  std::vector<Step> Steps;
  bool WithoutProc = false;  // /proc hidden: no capabilities and no thread list to read
};

// Hides /proc from this process alone, in a mount namespace of its own.
bool HideProc() {
  return unshare(CLONE_NEWNS) == 0 &&
         mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
         mount("none", "/proc", "tmpfs", 0, nullptr) == 0;
}

// Whether a child may hide /proc: a container may refuse the namespace or
// the mount even to root with CAP_SYS_ADMIN.
bool CanHideProc() {
  const pid_t child = fork();
  if (child == 0) _exit(HideProc() ? 0 : 1);
  int status = 0;
  return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

// Runs the steps from nice 3 with RLIMIT_NICE 0, so that only
// CAP_SYS_NICE permits lowering; returns 10 * (step + 1) plus what differed
// (1 the answer, 2 the policy, 3 the nice value), else 1 to 5 for the set-up
// and the checks after, 0 when all went as planned.
int RunScenario(const Scenario& scenario) {
  const rlimit none{0, 0};
  if (setrlimit(RLIMIT_NICE, &none) != 0 || setpriority(PRIO_PROCESS, 0, 3) != 0) return 1;
  if (scenario.WithoutProc && !HideProc()) return 5;
  const int descriptors = OpenDescriptors();
  for (size_t i = 0; i < scenario.Steps.size(); ++i) {
    const Step& step = scenario.Steps[i];
    const int at = 10 * static_cast<int>(i + 1);
    if (step.DropCapSysNiceFirst && !Capable(CAP_SYS_NICE, true)) return 2;
    if (SetPriorityClass(GetCurrentProcess(), step.Class) != step.Taken) return at + 1;
    if (sched_getscheduler(0) != step.Policy) return at + 2;
    if (getpriority(PRIO_PROCESS, 0) != step.Nice) return at + 3;
  }
  if (OpenDescriptors() != descriptors) return 3;     // a directory left open per change
  if (priority::ApplyPriorityClass(0x100)) return 4;  // not a class the program uses
  return 0;
}

// As root, on a real process: with CAP_SYS_NICE high goes ten steps below
// where the process started and idle is SCHED_IDLE; without it neither
// lowers anything (idle is SCHED_BATCH); a change the system refuses (the
// permission gone after the limits were taken) is reported as failed, and
// normal always comes back to the start where permitted.  Where /proc
// cannot be read, root is taken to have CAP_SYS_NICE (hiding it takes
// CAP_SYS_ADMIN).
TEST(PriorityTest, ARootProcessTakesWhatItsCapabilitiesPermit) {
  if (geteuid() != 0 || !Capable(CAP_SYS_NICE, false))
    GTEST_SKIP() << "needs root with CAP_SYS_NICE";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const DWORD normal = NORMAL_PRIORITY_CLASS, idle = IDLE_PRIORITY_CLASS,
              high = HIGH_PRIORITY_CLASS;
  const Scenario scenarios[] = {
      {"with CAP_SYS_NICE",
       {{false, high, TRUE, SCHED_OTHER, -7},
        {false, idle, TRUE, SCHED_IDLE, 3},
        {false, normal, TRUE, SCHED_OTHER, 3}}},
      {"root without CAP_SYS_NICE",
       {{true, high, TRUE, SCHED_OTHER, 3},
        {false, idle, TRUE, SCHED_BATCH, 3},
        {false, normal, TRUE, SCHED_OTHER, 3}}},
      {"CAP_SYS_NICE lost after the limits were taken",
       {{false, high, TRUE, SCHED_OTHER, -7},
        {false, normal, TRUE, SCHED_OTHER, 3},
        {true, high, FALSE, SCHED_OTHER, 3},
        {false, idle, TRUE, SCHED_IDLE, 3},
        {false, normal, FALSE, SCHED_IDLE, 3}}},
      {"without /proc root is taken to have CAP_SYS_NICE",
       {{false, high, TRUE, SCHED_OTHER, -7}, {false, normal, TRUE, SCHED_OTHER, 3}},
       true},
  };
  for (const Scenario& scenario : scenarios) {
    if (scenario.WithoutProc && !CanHideProc()) continue;
    EXPECT_EXIT(_exit(RunScenario(scenario)), testing::ExitedWithCode(0), "") << scenario.Name;
  }
}

}  // namespace
