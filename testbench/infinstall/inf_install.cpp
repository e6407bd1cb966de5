#include "inf_install.h"

#include <windows.h>
#include <setupapi.h>

#include <cstdio>

#include "owner.h"

namespace {

// The platform's default file queue callback, without any window, and the
// failures it would otherwise ask a user about.
class QueueCallback {
 public:
  QueueCallback()
      : context_(SetupInitDefaultQueueCallbackEx(nullptr, static_cast<HWND>(INVALID_HANDLE_VALUE),
                                                 0, 0, nullptr)) {}
  QueueCallback(const QueueCallback&) = delete;
  QueueCallback& operator=(const QueueCallback&) = delete;
  ~QueueCallback() {
    if (context_) SetupTermDefaultQueueCallback(context_);
  }
  explicit operator bool() const { return context_ != nullptr; }
  const std::string& failure() const { return failure_; }

  static UINT CALLBACK Notify(PVOID context, UINT notification, UINT_PTR param1, UINT_PTR param2) {
    return static_cast<QueueCallback*>(context)->OnNotify(notification, param1, param2);
  }

 private:
  UINT OnNotify(UINT notification, UINT_PTR param1, UINT_PTR param2) {
    if (notification == SPFILENOTIFY_COPYERROR || notification == SPFILENOTIFY_DELETEERROR) {
      const auto* paths = reinterpret_cast<const FILEPATHS_W*>(param1);
      const bool copy = notification == SPFILENOTIFY_COPYERROR;
      if (!copy && paths->Win32Error == ERROR_FILE_NOT_FOUND) return FILEOP_SKIP;
      Record(copy ? "copying " : "deleting ", copy ? paths->Source : paths->Target,
             paths->Win32Error);
      return copy ? FILEOP_ABORT : FILEOP_SKIP;
    }
    return SetupDefaultQueueCallbackW(context_, notification, param1, param2);
  }

  void Record(const char* what, const wchar_t* path, UINT error) {
    if (!failure_.empty()) return;
    char text[600] = {};
    std::snprintf(text, sizeof(text), "%s%ls failed: error %u", what, path ? path : L"?", error);
    failure_ = text;
  }

  PVOID context_;
  std::string failure_;
};

std::string ErrorText(const char* what, DWORD error) {
  char text[200] = {};
  std::snprintf(text, sizeof(text), "%s failed: error %lu", what,
                static_cast<unsigned long>(error));
  return text;
}

}  // namespace

bool InstallInfSection(const std::wstring& infPath, const std::wstring& section,
                       const std::wstring& sourceFolder, std::string* failure) {
  UINT errorLine = 0;
  InfOwner inf(SetupOpenInfFileW(infPath.c_str(), nullptr, INF_STYLE_WIN4, &errorLine));
  if (!inf) {
    *failure =
        ErrorText("SetupOpenInfFile", GetLastError()) + " (line " + std::to_string(errorLine) + ")";
    return false;
  }
  QueueCallback callback;
  if (!callback) {
    *failure = ErrorText("SetupInitDefaultQueueCallbackEx", GetLastError());
    return false;
  }
  const BOOL installed = SetupInstallFromInfSectionW(
      nullptr, inf.get(), section.c_str(), SPINST_FILES | SPINST_REGISTRY, nullptr,
      sourceFolder.c_str(), 0, QueueCallback::Notify, &callback, nullptr, nullptr);
  if (!callback.failure().empty()) {
    *failure = callback.failure();
    return false;
  }
  if (!installed) {
    *failure = ErrorText("SetupInstallFromInfSection", GetLastError());
    return false;
  }
  return true;
}
