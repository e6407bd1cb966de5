// Scoped owner of a library loaded at run time: frees it when it goes out of
// scope, on every path.
#pragma once

#include <windows.h>

#include <memory>
#include <type_traits>

struct LibraryFree {
  void operator()(HMODULE library) const { FreeLibrary(library); }
};
using LibraryHolder = std::unique_ptr<std::remove_pointer_t<HMODULE>, LibraryFree>;
