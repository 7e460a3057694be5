#pragma once
#include <dlfcn.h>

namespace brivane {

// `fn` bound to the function `name` of a library opened with dlopen; false
// when the library lacks it. For libraries loaded at their first use.
template <class Fn>
bool bindSymbol(void* library, const char* name, Fn& fn) {
  fn = reinterpret_cast<Fn>(::dlsym(library, name));
  return fn != nullptr;
}

}  // namespace brivane
