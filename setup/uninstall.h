// Scanner uninstall: the model's WIA devices, then its driver package.
#pragma once

#include <windows.h>

// Removes every device of the USB model (isUsb) or the network model, then
// the model's driver package. Non-zero when the package was removed.
DWORD UninstallScanner(bool isUsb);
