// Appends numbered lines to a setup log through the setup tool's own log
// functions: setup_log_test runs two of these at once on one log.
//   setup_log_writer <log name> <tag> <count>
// Prepares the log, releases one count of the semaphore "DrelmoLogWriterReady",
// waits for the event "DrelmoLogWriterGo", then writes the lines "<tag> <n>"
// for n from 0 to count - 1. Exit code 0 when it wrote them.
#include <windows.h>

#include <cwchar>

#include "owner.h"
#include "setup_log.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 4) return 2;
  const int count = _wtoi(argv[3]);
  OpenSetupLog(argv[1]);
  if (!LogEnabled) return 3;

  const HandleOwner ready(OpenSemaphoreW(SEMAPHORE_MODIFY_STATE, FALSE, L"DrelmoLogWriterReady"));
  const HandleOwner go(OpenEventW(SYNCHRONIZE, FALSE, L"DrelmoLogWriterGo"));
  if (ready.get() == nullptr || go.get() == nullptr) return 4;
  ReleaseSemaphore(ready.get(), 1, nullptr);
  if (WaitForSingleObject(go.get(), 60000) != WAIT_OBJECT_0) return 5;

  for (int line = 0; line < count; ++line) WriteSetupLog(L"%s %d\r\n", argv[2], line);
  return 0;
}
