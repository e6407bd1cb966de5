// Network scanner install: not built yet. Reports failure and logs nothing,
// so that the InstallNET action ends cleanly until the real step lands.
#include "setup.h"

bool InstallNetworkScanner(const wchar_t* /*infPath*/) { return false; }
