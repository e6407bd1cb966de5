// Loading the platform's libraries from the system folder.
#include "library_holder.h"

#include "setup.h"

LibraryHolder LoadSystemLibrary(const wchar_t* fileName, DWORD* error) {
  wchar_t systemDirectory[PathCapacity] = {};
  const UINT length = GetSystemDirectoryW(systemDirectory, static_cast<UINT>(PathCapacity));
  if (length == 0) {
    *error = GetLastError();
    return LibraryHolder();
  }
  wchar_t path[PathCapacity] = {};
  if (length >= PathCapacity ||
      FormatBounded(path, PathCapacity, L"%s\\%s", systemDirectory, fileName) < 0) {
    *error = ERROR_FILENAME_EXCED_RANGE;
    return LibraryHolder();
  }
  // A full path works on every version the tool supports; the search flag
  // LOAD_LIBRARY_SEARCH_SYSTEM32 needs an update on Windows 7. With
  // LOAD_WITH_ALTERED_SEARCH_PATH the libraries this one imports are looked
  // for in its own folder, the system folder, first as well.
  LibraryHolder library(LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
  if (!library) *error = GetLastError();
  return library;
}
