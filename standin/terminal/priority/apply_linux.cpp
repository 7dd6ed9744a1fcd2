// Priority classes on Linux: scheduling policies and nice values per thread.
#include <dirent.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "standin/terminal/priority/priority.h"

namespace priority {
namespace {

// CAP_SYS_NICE (capability 23) in the effective set, from /proc; without
// /proc, root is taken to have it.
bool HasCapSysNice() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("CapEff:", 0) == 0) {
      const unsigned long long caps = std::strtoull(line.c_str() + 7, nullptr, 16);
      return ((caps >> 23) & 1u) != 0;
    }
  }
  return geteuid() == 0;
}

PriorityLimits Limits() {
  static const PriorityLimits Limits = [] {
    PriorityLimits l;
    errno = 0;
    const int nice = getpriority(PRIO_PROCESS, 0);
    l.BaseNice = errno == 0 ? nice : 0;
    long long rlimitNice = 0;
    rlimit limit{};
    if (getrlimit(RLIMIT_NICE, &limit) == 0)
      rlimitNice = limit.rlim_cur == RLIM_INFINITY ? 40 : static_cast<long long>(limit.rlim_cur);
    l.LowestNice = LowestPermittedNice(HasCapSysNice(), rlimitNice);
    return l;
  }();
  return Limits;
}

// Linux keeps the policy and the nice value per thread; a Win32 priority
// class is the whole process's, so every thread gets the plan.
std::vector<pid_t> ProcessThreads() {
  std::vector<pid_t> threads;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(dir)) {
      const long id = std::strtol(entry->d_name, nullptr, 10);
      if (id > 0) threads.push_back(static_cast<pid_t>(id));
    }
    closedir(dir);
  }
  if (threads.empty()) threads.push_back(0);  // no /proc: this thread
  return threads;
}

// One change at a time over all threads.
std::mutex ApplyMutex;

}  // namespace

bool ApplyPriorityClass(DWORD priorityClass) {
  PriorityPlan plan;
  if (!PlanPriority(priorityClass, Limits(), &plan)) return false;
  std::lock_guard lock(ApplyMutex);
  bool ok = true;
  for (const pid_t thread : ProcessThreads()) {
    int policy = SCHED_OTHER;
    if (plan.Policy == SchedPolicy::Batch) policy = SCHED_BATCH;
    if (plan.Policy == SchedPolicy::Idle) policy = SCHED_IDLE;
    sched_param param{};
    if (sched_setscheduler(thread, policy, &param) != 0) ok = false;
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(thread), plan.Nice) != 0) ok = false;
  }
  return ok;
}

}  // namespace priority
