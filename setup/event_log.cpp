// The tool's warnings in the Application event log (see event_log.h).
#include "event_log.h"

#include <cstring>

#include "format.h"
#include "log_folder.h"
#include "owner.h"
#include "registry.h"
#include "resource.h"
#include "setup_log.h"

SetupEventWriter SetupEventSink = nullptr;

namespace {

constexpr wchar_t EventSource[] = L"Drelmo";
constexpr wchar_t EventSourceKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Drelmo";
constexpr DWORD EventTypesSupported =
    EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
using EventSourceOwner = Owner<HANDLE, &DeregisterEventSource>;

// True when the file at path loads as a data file with this program's table.
bool HoldsOwnMessageTable(const wchar_t* path) {
  const LibraryOwner file(LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE_EXCLUSIVE));
  if (!file) return false;
  const HRSRC theirs = FindResourceW(file.get(), MAKEINTRESOURCEW(1), RT_MESSAGETABLE);
  const HRSRC ours = FindResourceW(nullptr, MAKEINTRESOURCEW(1), RT_MESSAGETABLE);
  const DWORD bytes = ours != nullptr ? SizeofResource(nullptr, ours) : 0;
  return theirs != nullptr && bytes != 0 && SizeofResource(file.get(), theirs) == bytes &&
         memcmp(LockResource(LoadResource(file.get(), theirs)),
                LockResource(LoadResource(nullptr, ours)), bytes) == 0;
}

// Registers the tool as a source of the Application event log when it is not
// one. Event Viewer shows the events' text from the file EventMessageFile
// names: a library of the message table alone, written from this program's
// image (never from its file, which a user who may change its folder can
// replace while it runs) into the tool's folder under the Windows folder.
DWORD RegisterAsEventSource() {
  RegKeyHolder key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, EventSourceKey, 0, KEY_READ, key.put()) == ERROR_SUCCESS)
    return ERROR_SUCCESS;
  const HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(IDR_MESSAGES), RT_RCDATA);
  const DWORD size = resource != nullptr ? SizeofResource(nullptr, resource) : 0;
  const void* const bytes = size != 0 ? LockResource(LoadResource(nullptr, resource)) : nullptr;
  wchar_t folder[PathCapacity] = {};
  if (bytes == nullptr || !ToolWindowsFolder(folder)) return ERROR_INVALID_DATA;
  DWORD status = ReplaceFileIn(folder, L"DrelmoMessages.dll", bytes, size, MessageFileSecurity,
                               HoldsOwnMessageTable);
  if (status == ERROR_SUCCESS)
    status = CreateMachineKey(EventSourceKey, EventSourceSecurity, KEY_SET_VALUE, key);
  if (status == ERROR_SUCCESS)
    status = RegSetValueExW(key.get(), L"TypesSupported", 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&EventTypesSupported), sizeof(DWORD));
  if (status == ERROR_SUCCESS)
    status = SetRegistryString(key.get(), L"EventMessageFile",
                               L"%SystemRoot%\\Logs\\Drelmo\\DrelmoMessages.dll", REG_EXPAND_SZ);
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
  if (const DWORD error = RegisterAsEventSource())
    WriteSetupLog(L"Drelmo could not register as an Application log source (error %u).\r\n", error);
  const EventSourceOwner source(RegisterEventSourceW(nullptr, EventSource));
  const wchar_t* strings[] = {text};
  if (!source ||
      !ReportEventW(source.get(), EVENTLOG_WARNING_TYPE, 0, eventId, user, 1, 0, strings, nullptr))
    return GetLastError();
  return ERROR_SUCCESS;
}
