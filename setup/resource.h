// Resource identifiers of Drelmo.exe (shared by the .rc script and the code).
#pragma once

#define IDS_APP_TITLE 103  // window title
#define IDM_ABOUT 104      // command of the two Alt accelerators; not handled
#define IDI_DRELMO 107     // class icon
#define IDI_SMALL 108      // small class icon
#define IDC_DRELMO 109     // window class name (string) and accelerator table
#define IDR_MESSAGES 110   // the event source's message file, DrelmoMessages.dll

#ifndef CREATEPROCESS_MANIFEST_RESOURCE_ID
#define CREATEPROCESS_MANIFEST_RESOURCE_ID 1
#endif
#ifndef RT_MANIFEST
#define RT_MANIFEST 24
#endif
