// The tool's warnings to administrators, in the Application event log under
// the source Drelmo, whose message table lets Event Viewer show their text.
#pragma once

#include <windows.h>

// Reports a warning with the given event id (messages.h) and text, naming
// the account the tool runs as, once its source is registered (the setup log
// says when it cannot be). Returns the error when it was not reported.
DWORD ReportToAdministrators(DWORD eventId, const wchar_t* text);

// When set (as tests do to read them), the warnings go to this writer
// instead of the event log; it gives the error when it did not take one.
using SetupEventWriter = DWORD (*)(WORD type, DWORD eventId, PSID user, const wchar_t* text);
extern SetupEventWriter SetupEventSink;
