// The library's entry points: the class table, DllGetClassObject and
// DllCanUnloadNow live in module.cpp; the lock count they answer by is
// library_object.h's.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include "library_object.h"

// The two class identifiers served, both for ImageFilter, in the order tested.
extern const CLSID CLSID_VantrelFilter;
extern const CLSID CLSID_VantrelFilterAlternate;
