#include "standin/terminal/priority/priority.h"

#include <algorithm>

namespace priority {

int LowestPermittedNice(bool capSysNice, long long rlimitNice) {
  if (capSysNice) return -20;
  // RLIMIT_NICE r lets the nice value go down to 20 - r.
  const long long lowest = 20 - std::clamp(rlimitNice, 0LL, 40LL);
  return static_cast<int>(lowest);
}

bool PlanPriority(DWORD priorityClass, const PriorityLimits& limits, PriorityPlan* plan) {
  const int base = std::clamp(limits.BaseNice, -20, 19);
  switch (priorityClass) {
    case NORMAL_PRIORITY_CLASS:
      *plan = PriorityPlan{SchedPolicy::Other, base};
      return true;
    case IDLE_PRIORITY_CLASS:
      // Coming back from SCHED_IDLE to nice `base` is a lowering from 20.
      *plan =
          PriorityPlan{limits.LowestNice <= base ? SchedPolicy::Idle : SchedPolicy::Batch, base};
      return true;
    case HIGH_PRIORITY_CLASS: {
      const int wanted = std::max(base - HighPriorityBoost, -20);
      *plan = PriorityPlan{SchedPolicy::Other, std::min(base, std::max(wanted, limits.LowestNice))};
      return true;
    }
    default:
      return false;
  }
}

}  // namespace priority
