// Loading the platform's libraries from the system folder.
#include "system_library.h"

#include "format.h"

namespace {

// Set once the process searches the system folder only.
bool SystemFolderSearchOnly = false;

}  // namespace

void RestrictLibrarySearch() {
  SetDllDirectoryW(L"");
  // Looked up at run time: a Windows 7 without the update has no such export,
  // and a program that imported it would not start there.
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD directoryFlags);
  const auto setDefaultDllDirectories = FindExport<SetDefaultDllDirectoriesFn>(
      GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories");
  SystemFolderSearchOnly = setDefaultDllDirectories != nullptr &&
                           setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE;
}

LibraryOwner LoadSystemLibrary(const wchar_t* fileName, DWORD* error) {
  wchar_t systemDirectory[PathCapacity] = {};
  const UINT length = GetSystemDirectoryW(systemDirectory, static_cast<UINT>(PathCapacity));
  if (length == 0) {
    *error = GetLastError();
    return LibraryOwner();
  }
  wchar_t path[PathCapacity] = {};
  if (length >= PathCapacity ||
      FormatBounded(path, PathCapacity, L"%s\\%s", systemDirectory, fileName) < 0) {
    *error = ERROR_FILENAME_EXCED_RANGE;
    return LibraryOwner();
  }
  // A full path works on every version the tool supports. The libraries this
  // one imports are looked for in the system folder only where the platform
  // can be told so; elsewhere (LOAD_WITH_ALTERED_SEARCH_PATH) in the library's
  // own folder, the system folder, first.
  LibraryOwner library(LoadLibraryExW(
      path, nullptr,
      SystemFolderSearchOnly ? LOAD_LIBRARY_SEARCH_SYSTEM32 : LOAD_WITH_ALTERED_SEARCH_PATH));
  if (!library) *error = GetLastError();
  return library;
}
