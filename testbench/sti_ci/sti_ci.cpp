// Stand-in for the still-image class installer library "sti_ci.dll", which
// Wine lacks. Test and demo equipment only: it keeps a WIA device list in the
// registry of the Wine prefix (see sti_ci_control.h), so that an install in one
// process adds a device that an uninstall in a later process finds and removes,
// and it can be told to fail any call with a chosen status.
//
// Calling contract (all statuses 32-bit, 0 for success):
//   InstallWiaDevice(record)                      record: 1824-byte install record
//   CreateWiaDeviceList(0, 0, 0, 0, &list)         259: no devices
//   GetWiaDeviceProperty(list, index, 1, name, reserved, buffer, &size)
//                                                  size: buffer capacity in UTF-16
//                                                  characters; 259: no device here
//   UninstallWiaDevice(list, index)
//   DestroyWiaDeviceList(list)
#include <windows.h>
#include <setupapi.h>

#include <cstring>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "sti_ci_control.h"

namespace {

// Scoped owner of one open registry key.
class Key {
 public:
  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() { Close(); }
  HKEY Get() const { return handle_; }
  HKEY* Put() {
    Close();
    return &handle_;
  }
  void Close() {
    if (handle_ != nullptr) RegCloseKey(handle_);
    handle_ = nullptr;
  }

 private:
  HKEY handle_ = nullptr;
};

LSTATUS CreateKey(const std::wstring& path, Key& key) {
  return RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE,
                         nullptr, key.Put(), nullptr);
}

LSTATUS OpenKey(const std::wstring& path, Key& key) {
  return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WRITE, key.Put());
}

bool ReadDword(HKEY key, const wchar_t* name, DWORD* value) {
  DWORD type = 0;
  DWORD size = sizeof(*value);
  return RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) ==
             ERROR_SUCCESS &&
         type == REG_DWORD && size == sizeof(*value);
}

LSTATUS WriteDword(HKEY key, const wchar_t* name, DWORD value) {
  return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                        sizeof(value));
}

// Reads a REG_SZ value of any length; the result ends at the first NUL.
LSTATUS ReadString(HKEY key, const wchar_t* name, std::wstring* value) {
  DWORD type = 0;
  DWORD size = 0;
  LSTATUS status = RegQueryValueExW(key, name, nullptr, &type, nullptr, &size);
  if (status != ERROR_SUCCESS) return status;
  if (type != REG_SZ) return ERROR_INVALID_DATA;
  std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
  status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size);
  if (status != ERROR_SUCCESS) return status;
  value->assign(text.data());
  return ERROR_SUCCESS;
}

LSTATUS WriteString(HKEY key, const wchar_t* name, const std::wstring& value) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

void AddToCounter(const wchar_t* name, int delta) {
  Key control;
  if (CreateKey(STI_STANDIN_CONTROL, control) != ERROR_SUCCESS) return;
  DWORD count = 0;
  ReadDword(control.Get(), name, &count);
  WriteDword(control.Get(), name, count + static_cast<DWORD>(delta));
}

// The status a test asked an export to give instead of doing its work.
bool ForcedStatus(const wchar_t* exportName, DWORD* status) {
  Key control;
  return OpenKey(STI_STANDIN_CONTROL, control) == ERROR_SUCCESS &&
         ReadDword(control.Get(), exportName, status);
}

std::wstring DeviceKeyPath(const std::wstring& deviceKey) {
  return std::wstring(STI_STANDIN_DEVICES) + L"\\" + deviceKey;
}

// The device keys, in number order.
std::vector<std::wstring> DeviceKeyNames() {
  Key devices;
  if (OpenKey(STI_STANDIN_DEVICES, devices) != ERROR_SUCCESS) return {};
  return StandInSubkeyNames(devices.Get());
}

std::wstring FreeDeviceKeyName(const std::vector<std::wstring>& taken) {
  const std::set<std::wstring> used(taken.begin(), taken.end());
  for (int number = 0;; ++number) {
    std::wstring name = std::to_wstring(number);
    name.insert(0, name.size() < 4 ? 4 - name.size() : 0, L'0');
    if (used.count(name) == 0) return name;
  }
}

// A class installer numbers devices of the same name: "Name", "Name #2", ...
std::wstring UniqueFriendlyName(const std::wstring& base, const std::vector<std::wstring>& keys) {
  std::set<std::wstring> names;
  for (const std::wstring& deviceKey : keys) {
    Key device;
    std::wstring name;
    if (OpenKey(DeviceKeyPath(deviceKey), device) == ERROR_SUCCESS &&
        ReadString(device.Get(), STI_VALUE_FRIENDLY_NAME, &name) == ERROR_SUCCESS)
      names.insert(name);
  }
  if (names.count(base) == 0) return base;
  for (int number = 2;; ++number) {
    std::wstring candidate = base + L" #" + std::to_wstring(number);
    if (names.count(candidate) == 0) return candidate;
  }
}

// One text field of the install record; false when it holds no NUL.
bool RecordText(const BYTE* record, size_t offset, size_t capacity, std::wstring* text) {
  std::vector<wchar_t> field(capacity);
  std::memcpy(field.data(), record + offset, capacity * sizeof(wchar_t));
  for (size_t i = 0; i < capacity; ++i) {
    if (field[i] == L'\0') {
      text->assign(field.data(), i);
      return true;
    }
  }
  return false;
}

struct DeviceList {
  std::vector<std::wstring> keys;
};

DWORD InstallDevice(const BYTE* record) {
  std::wstring infPath, deviceId, connection, friendlyName;
  if (!RecordText(record, 8, 260, &infPath) || !RecordText(record, 528, 260, &deviceId) ||
      !RecordText(record, 1048, 260, &connection) || !RecordText(record, 1568, 64, &friendlyName) ||
      infPath.empty())
    return ERROR_INVALID_PARAMETER;

  // Stage the package as the class installer does, from the INF's own folder.
  std::wstring folder = infPath.substr(0, infPath.find_last_of(L"\\/") + 1);
  wchar_t staged[MAX_PATH] = {};
  wchar_t* stagedName = nullptr;
  if (!SetupCopyOEMInfW(infPath.c_str(), folder.empty() ? nullptr : folder.c_str(),
                        folder.empty() ? SPOST_NONE : SPOST_PATH, 0, staged, MAX_PATH, nullptr,
                        &stagedName))
    return GetLastError();

  const std::vector<std::wstring> keys = DeviceKeyNames();
  Key device;
  LSTATUS status = CreateKey(DeviceKeyPath(FreeDeviceKeyName(keys)), device);
  if (status != ERROR_SUCCESS) return status;
  const wchar_t* names[] = {STI_VALUE_FRIENDLY_NAME, STI_VALUE_INF_PATH, STI_VALUE_DEVICE_ID,
                            STI_VALUE_CONNECTION};
  const std::wstring values[] = {UniqueFriendlyName(friendlyName, keys),
                                 stagedName != nullptr ? stagedName : staged, deviceId, connection};
  for (int i = 0; i < 4 && status == ERROR_SUCCESS; ++i)
    status = WriteString(device.Get(), names[i], values[i]);
  return status;
}

DWORD DeviceProperty(const DeviceList& list, DWORD index, const wchar_t* name, wchar_t* buffer,
                     DWORD* size) {
  if (index >= list.keys.size()) return ERROR_NO_MORE_ITEMS;
  Key device;
  LSTATUS status = OpenKey(DeviceKeyPath(list.keys[index]), device);
  if (status != ERROR_SUCCESS) return status;

  DWORD forced = 0;
  const wchar_t* failValue = nullptr;
  if (std::wcscmp(name, STI_VALUE_FRIENDLY_NAME) == 0) failValue = STI_VALUE_FAIL_FRIENDLY_NAME;
  if (std::wcscmp(name, STI_VALUE_INF_PATH) == 0) failValue = STI_VALUE_FAIL_INF_PATH;
  if (failValue != nullptr && ReadDword(device.Get(), failValue, &forced)) return forced;

  std::wstring value;
  status = ReadString(device.Get(), name, &value);
  if (status != ERROR_SUCCESS) return status;
  if (value.size() + 1 > *size) {
    *size = static_cast<DWORD>(value.size() + 1);
    return ERROR_INSUFFICIENT_BUFFER;
  }
  std::memcpy(buffer, value.c_str(), (value.size() + 1) * sizeof(wchar_t));
  *size = static_cast<DWORD>(value.size() + 1);
  return ERROR_SUCCESS;
}

DWORD UninstallDevice(const DeviceList& list, DWORD index) {
  if (index >= list.keys.size()) return ERROR_NO_MORE_ITEMS;
  Key device;
  LSTATUS status = OpenKey(DeviceKeyPath(list.keys[index]), device);
  if (status != ERROR_SUCCESS) return status;
  DWORD forced = 0;
  if (ReadDword(device.Get(), STI_VALUE_FAIL_UNINSTALL, &forced)) return forced;
  device.Close();
  Key devices;
  status = OpenKey(STI_STANDIN_DEVICES, devices);
  if (status != ERROR_SUCCESS) return status;
  return RegDeleteKeyW(devices.Get(), list.keys[index].c_str());
}

}  // namespace

extern "C" {

DWORD WINAPI InstallWiaDevice(const void* record) {
  if (record == nullptr) return ERROR_INVALID_PARAMETER;
  const BYTE* bytes = static_cast<const BYTE*>(record);
  DWORD recordSize = 0;
  std::memcpy(&recordSize, bytes, sizeof(recordSize));
  const DWORD seen = recordSize == STI_INSTALL_RECORD_SIZE ? recordSize : sizeof(recordSize);
  Key control;
  if (CreateKey(STI_STANDIN_CONTROL, control) == ERROR_SUCCESS)
    RegSetValueExW(control.Get(), STI_CONTROL_LAST_RECORD, 0, REG_BINARY, bytes, seen);
  control.Close();

  DWORD status = 0;
  if (ForcedStatus(L"InstallWiaDevice", &status)) return status;
  if (recordSize != STI_INSTALL_RECORD_SIZE) return ERROR_INVALID_PARAMETER;
  try {
    return InstallDevice(bytes);
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

DWORD WINAPI CreateWiaDeviceList(ULONG_PTR zero1, ULONG_PTR zero2, ULONG_PTR zero3, ULONG_PTR zero4,
                                 void** list) {
  DWORD status = 0;
  if (ForcedStatus(L"CreateWiaDeviceList", &status)) return status;
  if (list == nullptr || zero1 != 0 || zero2 != 0 || zero3 != 0 || zero4 != 0)
    return ERROR_INVALID_PARAMETER;
  *list = nullptr;
  Key control;
  DWORD nullList = 0;
  if (OpenKey(STI_STANDIN_CONTROL, control) == ERROR_SUCCESS &&
      ReadDword(control.Get(), STI_CONTROL_NULL_LIST, &nullList) && nullList != 0)
    return ERROR_SUCCESS;
  try {
    std::vector<std::wstring> keys = DeviceKeyNames();
    if (keys.empty()) return ERROR_NO_MORE_ITEMS;
    *list = new DeviceList{std::move(keys)};
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  AddToCounter(STI_CONTROL_LISTS_OPEN, 1);
  return ERROR_SUCCESS;
}

DWORD WINAPI GetWiaDeviceProperty(void* list, DWORD index, DWORD /*flags*/, const wchar_t* name,
                                  void* /*reserved*/, wchar_t* buffer, DWORD* size) {
  DWORD status = 0;
  if (ForcedStatus(L"GetWiaDeviceProperty", &status)) return status;
  if (list == nullptr || name == nullptr || buffer == nullptr || size == nullptr)
    return ERROR_INVALID_PARAMETER;
  try {
    return DeviceProperty(*static_cast<DeviceList*>(list), index, name, buffer, size);
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

DWORD WINAPI UninstallWiaDevice(void* list, DWORD index) {
  DWORD status = 0;
  if (ForcedStatus(L"UninstallWiaDevice", &status)) return status;
  if (list == nullptr) return ERROR_INVALID_PARAMETER;
  try {
    return UninstallDevice(*static_cast<DeviceList*>(list), index);
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

DWORD WINAPI DestroyWiaDeviceList(void* list) {
  if (list == nullptr) return ERROR_INVALID_PARAMETER;
  delete static_cast<DeviceList*>(list);
  AddToCounter(STI_CONTROL_LISTS_OPEN, -1);
  return ERROR_SUCCESS;
}

// Counts loads and FreeLibrary unloads, so tests can see the library freed.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH) {
    DisableThreadLibraryCalls(instance);
    AddToCounter(STI_CONTROL_LOADS, 1);
#ifdef STI_CI_PLANTED
    // This build stands for someone else's library planted under the name:
    // whoever loads it, its code has run.
    AddToCounter(STI_CONTROL_PLANTED_LOADS, 1);
#endif
  } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
    AddToCounter(STI_CONTROL_FREES, 1);
  }
  return TRUE;
}

}  // extern "C"
