// Network scanner install through the still-image class installer library.
#pragma once

// Creates the network model's WIA device for the INF file at infPath; true
// when the library installed it. Every failure is logged.
bool InstallNetworkScanner(const wchar_t* infPath);
