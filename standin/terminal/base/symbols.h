// Functions of a system library loaded at run time (dlopen), so that the
// program starts and runs where the library is missing.
#pragma once

#include <dlfcn.h>

namespace base {

// Points slot at the library's function of that name; false if it lacks it.
template <typename Function>
bool Bind(void* library, const char* name, Function*& slot) {
  slot = reinterpret_cast<Function*>(dlsym(library, name));
  return slot != nullptr;
}

}  // namespace base
