// infinstall: installs one section of a driver package's INF into the Wine
// prefix with SetupAPI, as the device installer does (files and registry).
//
//   infinstall INF SECTION [SOURCE_FOLDER]
//
// The package's files come from SOURCE_FOLDER, by default the INF's folder.
#include <windows.h>

#include <cstdio>
#include <string>

#include "inf_install.h"
#include "owner.h"

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  const LocalOwner arguments(argv);
  if (!argv) return 1;
  if (argc < 3 || argc > 4) {
    std::printf("usage: infinstall INF SECTION [SOURCE_FOLDER]\n");
    return 64;
  }
  const std::wstring inf = argv[1];
  const std::wstring section = argv[2];
  std::wstring source = argc == 4 ? std::wstring(argv[3]) : std::wstring();
  if (source.empty()) {
    const size_t slash = inf.find_last_of(L"\\/");
    source = slash == std::wstring::npos ? std::wstring(L".") : inf.substr(0, slash);
  }
  std::string failure;
  const bool installed = InstallInfSection(inf, section, source, &failure);
  if (installed) {
    std::printf("installed [%ls] of %ls\n", section.c_str(), inf.c_str());
  } else {
    std::printf("[%ls] of %ls: %s\n", section.c_str(), inf.c_str(), failure.c_str());
  }
  std::fflush(stdout);
  return installed ? 0 : 1;
}
