// The library-wide count of live objects, factory references and server locks.
// It lives with image adjustment, the library's lowest layer, so that every
// layer that hands out COM objects (the page wrapper here, the filter, its
// streams and the class factory above) counts in the same place.
#pragma once

#include <windows.h>

// 0 at load; the library may be unloaded exactly when it is 0.
extern LONG ModuleLockCount;

inline void ModuleAddRef() { InterlockedIncrement(&ModuleLockCount); }
inline void ModuleRelease() { InterlockedDecrement(&ModuleLockCount); }
