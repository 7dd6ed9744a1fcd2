#include <malloc.h>

#include "standin/terminal/base/heap.h"

namespace base {

void UseOneHeap() {
  mallopt(M_ARENA_MAX, 1);
}

}  // namespace base
