// The registry values the setup tool writes, and where it records the USB
// driver package it staged.
#pragma once

#include <windows.h>

#include <cwchar>

constexpr wchar_t DriverRecordKey[] = L"SOFTWARE\\Orvane\\QzPrinter\\Tarvel\\Mgr\\Driver";
constexpr wchar_t DriverRecordValue[] = L"scannerUSB";

// Sets a string value (REG_SZ unless told) of an open key to the text with its
// NUL. A missing text gives ERROR_INVALID_DATA without touching the registry.
inline LSTATUS SetRegistryString(HKEY key, const wchar_t* name, const wchar_t* value,
                                 DWORD type = REG_SZ) {
  if (value == nullptr) return ERROR_INVALID_DATA;
  const size_t bytes = (wcslen(value) + 1) * sizeof(wchar_t);
  return RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(value),
                        static_cast<DWORD>(bytes));
}
