// Scanner uninstall: not built yet. Reports failure (0) and logs nothing,
// so that the uninstall actions end cleanly until the real step lands.
#include "setup.h"

DWORD UninstallScanner(bool /*isUsb*/) { return 0; }
