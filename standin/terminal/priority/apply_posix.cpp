// Priority classes where the system has no per-thread policies to set: the
// process's nice value alone, as far as it may go.
#include <sys/resource.h>

#include <cerrno>
#include <mutex>

#include "standin/terminal/priority/priority.h"

namespace priority {

bool ApplyPriorityClass(DWORD priorityClass) {
  static const PriorityLimits Limits = [] {
    PriorityLimits l;
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, 0);
    l.BaseNice = errno == 0 ? nice : 0;
    l.LowestNice = LowestPermittedNice(false, 0);
    return l;
  }();
  PriorityPlan plan;
  if (!PlanPriority(priorityClass, Limits, &plan)) return false;
  static std::mutex ApplyMutex;
  std::lock_guard lock(ApplyMutex);
  return setpriority(PRIO_PROCESS, 0, plan.Nice) == 0;
}

}  // namespace priority
