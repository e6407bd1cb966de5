// Loading the platform's libraries from the system folder only, and finding
// their exports.
#pragma once

#include <windows.h>

#include "owner.h"

// The export called name of a loaded library, as the function type Fn; null
// when the library is null or has no such export (GetLastError says why).
template <typename Fn>
Fn FindExport(HMODULE library, const char* name) {
  if (library == nullptr) return nullptr;
  // Through void (*)(void), the generic function pointer type, to the export's own.
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}

// Takes every folder but the system folder out of the process's library
// search, for the libraries the platform's own libraries load by bare name
// too: the program's folder and the current directory are places an
// ordinary user may fill before the elevated tool starts. Where the platform
// cannot restrict the search to the system folder (Windows 7 without the
// update that brought SetDefaultDllDirectories), only the current directory
// is taken out. Called first thing at start-up.
void RestrictLibrarySearch();

// Loads a library of the platform from the system folder only, by its full
// path there. A bare name would be looked for in the program's folder first,
// and then in the current directory: places an ordinary user may fill before
// the elevated tool starts. Empty on failure, with the failing call's error
// in *error.
LibraryOwner LoadSystemLibrary(const wchar_t* fileName, DWORD* error);
