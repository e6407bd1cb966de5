// The tool's warnings in the Application event log (see event_log.h).
#include "event_log.h"

#include <cstring>

#include "format.h"
#include "log_folder.h"
#include "owner.h"
#include "registry.h"

SetupEventWriter SetupEventSink = nullptr;

namespace {

constexpr wchar_t EventSource[] = L"Drelmo";
constexpr wchar_t EventSourceKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Drelmo";
constexpr DWORD EventTypesSupported =
    EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
using EventSourceOwner = Owner<HANDLE, &DeregisterEventSource>;

// Event Viewer shows an event's text from the message table of the file the
// source's EventMessageFile names. This program's own file may lie in a
// folder an ordinary user can change, so the value names a copy of it that
// the tool makes in its folder under the Windows folder, which only
// administrators can change. The copy, made or found, is used only when its
// message table is the one this program holds in memory.
DWORD PlaceMessageFile(wchar_t (&path)[PathCapacity]) {
  wchar_t folderPath[PathCapacity] = {};
  wchar_t self[PathCapacity] = {};
  const DWORD selfLength = GetModuleFileNameW(nullptr, self, static_cast<DWORD>(PathCapacity));
  if (!ToolWindowsFolder(folderPath) || selfLength == 0 || selfLength >= PathCapacity ||
      FormatBounded(path, PathCapacity, L"%s\\DrelmoMessages.exe", folderPath) < 0)
    return ERROR_FILENAME_EXCED_RANGE;
  LogFailure failure;
  const HandleOwner folder = OpenLogFolder(folderPath, &failure);
  if (!folder) return failure.error != ERROR_SUCCESS ? failure.error : ERROR_ACCESS_DENIED;
  {
    const HandleOwner copy = OpenLogFile(folder.get(), L"DrelmoMessages.exe", path, &failure);
    LARGE_INTEGER size = {};
    if (!copy || !GetFileSizeEx(copy.get(), &size)) return ERROR_ACCESS_DENIED;
    const HandleOwner source(CreateFileW(self, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, 0, nullptr));
    BYTE chunk[16384];
    DWORD read = 0;
    DWORD written = 0;
    while (size.QuadPart == 0 && ReadFile(source.get(), chunk, sizeof(chunk), &read, nullptr) &&
           read > 0)
      if (!WriteFile(copy.get(), chunk, read, &written, nullptr)) return GetLastError();
  }
  const LibraryOwner copy(LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE));
  const HRSRC theirs = FindResourceW(copy.get(), MAKEINTRESOURCEW(1), RT_MESSAGETABLE);
  const HRSRC ours = FindResourceW(nullptr, MAKEINTRESOURCEW(1), RT_MESSAGETABLE);
  const DWORD bytes = ours != nullptr ? SizeofResource(nullptr, ours) : 0;
  if (theirs == nullptr || bytes == 0 || SizeofResource(copy.get(), theirs) != bytes ||
      memcmp(LockResource(LoadResource(copy.get(), theirs)),
             LockResource(LoadResource(nullptr, ours)), bytes) != 0)
    return ERROR_INVALID_DATA;
  return ERROR_SUCCESS;
}

// Registers the tool as a source of the Application event log with its
// message file, when it is not one; the key, under the system's services,
// can be made by administrators only, and one that is there is left as it is.
DWORD RegisterAsEventSource() {
  RegKeyHolder key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, EventSourceKey, 0, KEY_READ, key.put()) == ERROR_SUCCESS)
    return ERROR_SUCCESS;
  wchar_t messageFile[PathCapacity] = {};
  DWORD status = PlaceMessageFile(messageFile);
  if (status == ERROR_SUCCESS)
    status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, EventSourceKey, 0, nullptr,
                             REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, key.put(), nullptr);
  if (status == ERROR_SUCCESS)
    status = RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&EventTypesSupported), sizeof(DWORD));
  if (status == ERROR_SUCCESS)
    status = SetRegistryString(key.get(), L"EventMessageFile", messageFile);
  return status;
}

}  // namespace

DWORD ReportToAdministrators(DWORD eventId, const wchar_t* text) {
  alignas(8) BYTE account[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE] = {};
  HandleOwner token;
  DWORD size = 0;
  const PSID user =
      OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.put()) &&
              GetTokenInformation(token.get(), TokenUser, account, sizeof(account), &size)
          ? reinterpret_cast<const TOKEN_USER*>(account)->User.Sid
          : nullptr;
  if (SetupEventSink != nullptr) return SetupEventSink(EVENTLOG_WARNING_TYPE, eventId, user, text);
  // Reported also when the source could not be registered: Event Viewer then
  // shows the text after its note that the description was not found.
  const DWORD registered = RegisterAsEventSource();
  const EventSourceOwner source(RegisterEventSourceW(nullptr, EventSource));
  const wchar_t* strings[] = {text};
  if (!source ||
      !ReportEventW(source.get(), EVENTLOG_WARNING_TYPE, 0, eventId, user, 1, 0, strings, nullptr))
    return GetLastError();
  return registered;
}
