// Installs a section of a driver package's INF with SetupAPI, as the device
// installer does: the files its CopyFiles and DelFiles lines name, from the
// package's source folder, and its AddReg and DelReg lines.
#pragma once

#include <string>

// Returns true when every file and registry line of `section` was installed;
// otherwise `failure` says what failed. A file that DelFiles names and that is
// not there is no failure: it is already gone.
bool InstallInfSection(const std::wstring& infPath, const std::wstring& section,
                       const std::wstring& sourceFolder, std::string* failure);
