// The library-wide count of live objects, factory references and server locks.
#pragma once

#include <windows.h>

// 0 at load; the library may be unloaded exactly when it is 0.
extern LONG ModuleLockCount;

inline void ModuleAddRef() { InterlockedIncrement(&ModuleLockCount); }
inline void ModuleRelease() { InterlockedDecrement(&ModuleLockCount); }
