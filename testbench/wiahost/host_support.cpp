#include "host_support.h"

#include "owner.h"

HRESULT ReadWholeFile(const std::wstring& path, std::vector<BYTE>* bytes) {
  HandleOwner file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return HRESULT_FROM_WIN32(GetLastError());
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(file.get(), &size)) return HRESULT_FROM_WIN32(GetLastError());
  if (size.QuadPart > 0x7FFFFFFF) return E_OUTOFMEMORY;
  bytes->resize(static_cast<size_t>(size.QuadPart));
  DWORD read = 0;
  if (!bytes->empty() &&
      !ReadFile(file.get(), bytes->data(), static_cast<DWORD>(bytes->size()), &read, nullptr)) {
    return HRESULT_FROM_WIN32(GetLastError());
  }
  bytes->resize(read);
  return S_OK;
}

HRESULT WriteWholeFile(const std::wstring& path, const std::vector<BYTE>& bytes) {
  HandleOwner file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return HRESULT_FROM_WIN32(GetLastError());
  DWORD written = 0;
  if (!bytes.empty() &&
      !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
    return HRESULT_FROM_WIN32(GetLastError());
  }
  return written == bytes.size() ? S_OK : E_FAIL;
}

std::wstring ProgramFolder() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, length);
  const size_t slash = folder.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring(L".") : folder.substr(0, slash);
}

std::wstring GuidText(const GUID& guid) {
  wchar_t text[40] = {};
  return StringFromGUID2(guid, text, 40) ? std::wstring(text) : std::wstring();
}

namespace {

HRESULT SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
  const LSTATUS status =
      RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  return HRESULT_FROM_WIN32(status);
}

}  // namespace

HRESULT RegisterInprocServer(const CLSID& clsid, const std::wstring& dllPath) {
  const std::wstring text = GuidText(clsid);
  if (text.empty()) return E_UNEXPECTED;
  const std::wstring path = L"SOFTWARE\\Classes\\CLSID\\" + text;
  RegKeyHolder classKey;
  LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE,
                                   nullptr, classKey.put(), nullptr);
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  HRESULT hr = SetString(classKey.get(), nullptr, L"Vantrel image processing filter");
  if (FAILED(hr)) return hr;
  RegKeyHolder serverKey;
  status = RegCreateKeyExW(classKey.get(), L"InprocServer32", 0, nullptr, 0, KEY_WRITE, nullptr,
                           serverKey.put(), nullptr);
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  hr = SetString(serverKey.get(), nullptr, dllPath);
  if (FAILED(hr)) return hr;
  return SetString(serverKey.get(), L"ThreadingModel", L"Both");
}
