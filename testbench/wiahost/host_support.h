// Files and registry for the WIA transfer host and its tests.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

HRESULT ReadWholeFile(const std::wstring& path, std::vector<BYTE>* bytes);
HRESULT WriteWholeFile(const std::wstring& path, const std::vector<BYTE>& bytes);
// The folder of the running program, without a trailing separator.
std::wstring ProgramFolder();
// "{5E2B7C41-...}": a GUID in registry form.
std::wstring GuidText(const GUID& guid);
// Registers `dllPath` as the in-process server of `clsid` under
// HKEY_LOCAL_MACHINE\SOFTWARE\Classes\CLSID, as a driver package does.
HRESULT RegisterInprocServer(const CLSID& clsid, const std::wstring& dllPath);
