// The three Win32 priority classes the program uses, mapped onto what a
// Linux process may do without ever being unable to come back to normal.
//
// An unprivileged process may raise its nice value but not lower it again
// (unless RLIMIT_NICE allows), and the kernel treats SCHED_IDLE as nice 20:
// leaving SCHED_IDLE for SCHED_OTHER needs the same permission as lowering
// the nice value from 20 to the current one.  So idle is SCHED_IDLE only
// where the way back is permitted, and SCHED_BATCH (which any process may
// enter and leave) otherwise; high lowers the nice value only as far as it
// is permitted, and normal returns to the policy and nice value the process
// started with.
#pragma once

#include "win32/win32.h"

namespace priority {

enum class SchedPolicy { Other, Batch, Idle };

struct PriorityPlan {
  SchedPolicy Policy = SchedPolicy::Other;
  int Nice = 0;
};

// What the process may do: the nice value it started with, and the lowest
// nice value it may set (-20 with CAP_SYS_NICE, else 20 - RLIMIT_NICE).
struct PriorityLimits {
  int BaseNice = 0;
  int LowestNice = 20;
};

// Nice values HIGH_PRIORITY_CLASS goes below the starting value, where
// permitted; Windows puts a high-class process 5 priority levels above
// normal, on a scale of 31.
constexpr int HighPriorityBoost = 10;

// The lowest nice value permitted by CAP_SYS_NICE or the RLIMIT_NICE soft
// limit (which counts 20 - nice, so 0 permits no lowering at all).
int LowestPermittedNice(bool capSysNice, long long rlimitNice);

// The plan for a priority class, or false for a class that is not one of
// NORMAL_PRIORITY_CLASS, IDLE_PRIORITY_CLASS and HIGH_PRIORITY_CLASS.
bool PlanPriority(DWORD priorityClass, const PriorityLimits& limits, PriorityPlan* plan);

// Gives every thread of the process the plan for a priority class, as far as
// the system lets this process (apply_linux.cpp; apply_posix.cpp elsewhere,
// with the nice value only).  False when a step was refused.
bool ApplyPriorityClass(DWORD priorityClass);

}  // namespace priority
