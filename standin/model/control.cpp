#include "standin/model/control.h"

#include <algorithm>
#include <iterator>
#include <mutex>
#include <vector>

namespace model {
namespace {

// Guards the handler list and the Ctrl+C switch: the program's thread
// changes them, the signal thread reads them.
std::mutex CtrlMutex;
std::vector<PHANDLER_ROUTINE> CtrlHandlers;
bool IgnoreCtrlC = false;

}  // namespace

bool DispatchCtrlEvent(DWORD event) {
  std::vector<PHANDLER_ROUTINE> handlers;
  {
    std::lock_guard lock(CtrlMutex);
    if (event == CTRL_C_EVENT && IgnoreCtrlC) return true;
    handlers = CtrlHandlers;
  }
  for (auto it = handlers.rbegin(); it != handlers.rend(); ++it)
    if ((*it)(event) != FALSE) return true;
  return false;
}

bool SetCtrlHandler(PHANDLER_ROUTINE handler, bool add) {
  std::lock_guard lock(CtrlMutex);
  if (handler == nullptr) {
    IgnoreCtrlC = add;
    return true;
  }
  if (add) {
    CtrlHandlers.push_back(handler);
    return true;
  }
  const auto found = std::find(CtrlHandlers.rbegin(), CtrlHandlers.rend(), handler);
  if (found == CtrlHandlers.rend()) return false;
  CtrlHandlers.erase(std::next(found).base());
  return true;
}

void ClearCtrlHandlers() {
  std::lock_guard lock(CtrlMutex);
  CtrlHandlers.clear();
  IgnoreCtrlC = false;
}

}  // namespace model
