// Libraries opened on first use instead of linked, so that a preview that never needs one does
// not pay for loading it. Each is opened once and never closed (the types and callbacks it
// registers must outlive every caller); its functions are found by name into a table.
#pragma once

#include <dlfcn.h>

namespace tessaro {

// Sets `pointer` to the symbol `name` of `library`; false when it has none.
template <typename Pointer>
bool resolveSymbol(void* library, const char* name, Pointer& pointer) {
  pointer = reinterpret_cast<Pointer>(::dlsym(library, name));
  return pointer != nullptr;
}

// The table of functions `fill` finds in the library `soname`, made on the first call and shared
// by every later one; null when the library or one of its functions is missing. One table type
// belongs to one library.
template <typename Table>
const Table* libraryOnFirstUse(const char* soname, bool (*fill)(void* library, Table& table)) {
  static const Table* const loaded = [&]() -> const Table* {
    void* library = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (!library) return nullptr;
    static Table table;
    return fill(library, table) ? &table : nullptr;
  }();
  return loaded;
}

}  // namespace tessaro
