// Drelmo's window in a real X server, inside a Wine virtual desktop (so that
// Wine draws the caption and frame), and the program's resources.
//
// The program runs under this test as its debugger: when a button press
// creates the worker thread, the test holds that thread until it has seen
// the window in its "running" state, then lets it finish.
#include <windows.h>
#include <gdiplus.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "drelmo_process.h"

namespace {

using namespace drelmo_test;

constexpr wchar_t DesktopName[] = L"DrelmoWindowTest";
constexpr DWORD Patience = 30000;

// Handles the debug events of the program under test.
class DebugPump {
 public:
  explicit DebugPump(DWORD processId) : processId_(processId) {}
  ~DebugPump() {
    if (heldThread_ != nullptr) ResumeThread(heldThread_);
    if (!exited_) DebugActiveProcessStop(processId_);
  }
  DebugPump(const DebugPump&) = delete;
  DebugPump& operator=(const DebugPump&) = delete;

  // The next thread the program creates is held (suspended) until Release.
  void HoldNextThread() { holdNext_ = true; }
  bool holding() const { return heldThread_ != nullptr; }
  void Release() {
    if (heldThread_ != nullptr) ResumeThread(heldThread_);
    heldThread_ = nullptr;
  }
  bool exited() const { return exited_; }

  // Handles debug events for about the given time.
  void Pump(DWORD milliseconds) {
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    while (!exited_) {
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) return;
      DEBUG_EVENT event = {};
      if (!WaitForDebugEvent(&event, static_cast<DWORD>(deadline - now))) return;
      Handle(event);
    }
  }

  // Pumps until the condition holds or the patience runs out.
  template <typename Condition>
  bool PumpUntil(Condition condition, DWORD milliseconds = Patience) {
    const ULONGLONG deadline = GetTickCount64() + milliseconds;
    while (!condition()) {
      if (GetTickCount64() >= deadline) return false;
      Pump(20);
    }
    return true;
  }

 private:
  void Handle(const DEBUG_EVENT& event) {
    DWORD status = DBG_CONTINUE;
    switch (event.dwDebugEventCode) {
      case CREATE_PROCESS_DEBUG_EVENT:
        if (event.u.CreateProcessInfo.hFile != nullptr)
          CloseHandle(event.u.CreateProcessInfo.hFile);
        break;
      case LOAD_DLL_DEBUG_EVENT:
        if (event.u.LoadDll.hFile != nullptr) CloseHandle(event.u.LoadDll.hFile);
        break;
      case CREATE_THREAD_DEBUG_EVENT:
        if (holdNext_) {
          holdNext_ = false;
          heldThread_ = event.u.CreateThread.hThread;
          SuspendThread(heldThread_);
        }
        break;
      case EXIT_PROCESS_DEBUG_EVENT: exited_ = true; break;
      case EXCEPTION_DEBUG_EVENT:
        if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
          status = DBG_EXCEPTION_NOT_HANDLED;
        }
        break;
      default: break;
    }
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
  }

  DWORD processId_;
  bool holdNext_ = false;
  HANDLE heldThread_ = nullptr;
  bool exited_ = false;
};

struct ButtonSpec {
  int id;
  const wchar_t* label;
  int x, y;
  const wchar_t* logName;
};

constexpr ButtonSpec Buttons[] = {
    {2000, L"Install USB", 10, 10, L"InstallUSB"},
    {2010, L"UnInstall USB", 130, 10, L"UninstallUSB"},
    {2020, L"Install NET", 10, 50, L"InstallNET"},
    {2030, L"UnInstall NET", 130, 50, L"UninstallNET"},
};

bool AllButtonsDisabled(HWND main) {
  for (const ButtonSpec& button : Buttons) {
    const HWND control = GetDlgItem(main, button.id);
    if (control == nullptr || IsWindowEnabled(control)) return false;
  }
  return true;
}

// Saves the screen area of a window (with a margin) as a PNG file.
bool SaveScreenshot(HWND window, const std::wstring& path) {
  RECT area = {};
  GetWindowRect(window, &area);
  InflateRect(&area, 12, 12);
  const int width = area.right - area.left;
  const int height = area.bottom - area.top;

  const HDC screen = GetDC(nullptr);
  const HDC memory = CreateCompatibleDC(screen);
  const HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  const HGDIOBJ previous = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
  SelectObject(memory, previous);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);

  Gdiplus::GdiplusStartupInput input;
  ULONG_PTR token = 0;
  bool saved = false;
  if (Gdiplus::GdiplusStartup(&token, &input, nullptr) == Gdiplus::Ok) {
    Gdiplus::GpBitmap* image = nullptr;
    if (Gdiplus::DllExports::GdipCreateBitmapFromHBITMAP(bitmap, nullptr, &image) == Gdiplus::Ok) {
      // The PNG encoder of GDI+.
      const CLSID png = {
          0x557CF406, 0x1A04, 0x11D3, {0x9A, 0x73, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};
      saved = Gdiplus::DllExports::GdipSaveImageToFile(image, path.c_str(), &png, nullptr) ==
              Gdiplus::Ok;
      Gdiplus::DllExports::GdipDisposeImage(image);
    }
    Gdiplus::GdiplusShutdown(token);
  }
  DeleteObject(bitmap);
  return saved;
}

// Wine draws the caption buttons with the Marlett font. Debian's fonts-wine
// puts it into Wine's data folder, where this Wine does not look; a copy in
// the prefix's font folder is found.
void InstallCaptionFont() {
  wchar_t windows[MAX_PATH] = {};
  GetWindowsDirectoryW(windows, MAX_PATH);
  const std::wstring installed = std::wstring(windows) + L"\\Fonts\\marlett.ttf";
  CopyFileW(L"Z:\\usr\\share\\wine\\fonts\\marlett.ttf", installed.c_str(), TRUE);
}

// Drelmo started without arguments on the test's virtual desktop, under this
// test as debugger.
class DrelmoWindow : public testing::Test {
 protected:
  void SetUp() override {
    DeleteAllLogs();
    // Wine makes a named desktop a virtual desktop (a window of its own in
    // which it draws captions and frames) when it knows the desktop's size.
    const wchar_t size[] = L"800x600";
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\Explorer\\Desktops", DesktopName,
                              REG_SZ, size, sizeof(size)),
              ERROR_SUCCESS);
    InstallCaptionFont();
    drelmo_ = std::make_unique<DrelmoProcess>(L"", PackageDirectory(), DesktopName,
                                              DEBUG_ONLY_THIS_PROCESS);
    ASSERT_TRUE(drelmo_->started());
    pump_ = std::make_unique<DebugPump>(drelmo_->id());
    // Look at the program's desktop from this thread.
    ASSERT_TRUE(pump_->PumpUntil([this] { return AttachToDesktop(); }));
    ASSERT_TRUE(pump_->PumpUntil([this] {
      main_ = drelmo_->WaitForMainWindow(0);
      return main_ != nullptr && IsWindowVisible(main_);
    })) << "the main window did not appear";
  }

  void TearDown() override {
    pump_.reset();
    drelmo_.reset();
    if (desktop_ != nullptr) CloseDesktop(desktop_);
  }

  bool AttachToDesktop() {
    if (desktop_ == nullptr) desktop_ = OpenDesktopW(DesktopName, 0, FALSE, GENERIC_ALL);
    return desktop_ != nullptr && SetThreadDesktop(desktop_);
  }

  // The program ends by itself (debug pump sees it) with exit code 0.
  void ExpectExitWithZero() {
    ASSERT_TRUE(pump_->PumpUntil([this] { return pump_->exited(); }, 60000))
        << "the window did not close by itself";
    DWORD exitCode = 1;
    ASSERT_TRUE(drelmo_->WaitForExit(Patience, &exitCode));
    EXPECT_EQ(exitCode, 0u);
  }

  std::unique_ptr<DrelmoProcess> drelmo_;
  std::unique_ptr<DebugPump> pump_;
  HDESK desktop_ = nullptr;
  HWND main_ = nullptr;
};

TEST_F(DrelmoWindow, IsAFixedSizeWindowWithFourEnabledButtons) {
  wchar_t className[32] = {};
  GetClassNameW(main_, className, 32);
  EXPECT_STREQ(className, L"DRELMO");
  EXPECT_EQ(WindowText(main_), L"Drelmo");

  const LONG style = GetWindowLongW(main_, GWL_STYLE);
  EXPECT_EQ(style & WS_CAPTION, WS_CAPTION);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_FALSE(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME));

  RECT frame = {};
  GetWindowRect(main_, &frame);
  EXPECT_EQ(frame.right - frame.left, 260);
  EXPECT_EQ(frame.bottom - frame.top, 130);
  EXPECT_EQ(frame.left, (GetSystemMetrics(SM_CXFULLSCREEN) - 260) / 2);
  EXPECT_EQ(frame.top, (GetSystemMetrics(SM_CYFULLSCREEN) - 130) / 2);

  const std::vector<HWND> children = ChildWindows(main_);
  EXPECT_EQ(children.size(), 4u);
  for (const ButtonSpec& expected : Buttons) {
    SCOPED_TRACE(testing::PrintToString(expected.label));
    const HWND button = GetDlgItem(main_, expected.id);
    ASSERT_NE(button, nullptr);
    GetClassNameW(button, className, 32);
    EXPECT_EQ(_wcsicmp(className, L"Button"), 0);
    EXPECT_EQ(WindowText(button), expected.label);
    EXPECT_TRUE(IsWindowVisible(button));
    EXPECT_TRUE(IsWindowEnabled(button));
    EXPECT_EQ(GetWindowLongW(button, GWL_STYLE) & BS_TYPEMASK, BS_PUSHBUTTON);
    RECT place = {};
    GetWindowRect(button, &place);
    MapWindowPoints(nullptr, main_, reinterpret_cast<POINT*>(&place), 2);
    EXPECT_EQ(place.left, expected.x);
    EXPECT_EQ(place.top, expected.y);
    EXPECT_EQ(place.right - place.left, 100);
    EXPECT_EQ(place.bottom - place.top, 25);
  }

  // Let the window paint, then keep a picture of it.
  pump_->Pump(700);
  CreateDirectoryW(DRELMO_ARTIFACT_DIR, nullptr);
  EXPECT_TRUE(SaveScreenshot(main_, DRELMO_ARTIFACT_DIR L"/drelmo-window.png"));

  // Nothing happens until a button is pressed, the Alt accelerators included.
  PostMessageW(main_, WM_SYSCHAR, L'?', 1 << 29);
  PostMessageW(main_, WM_SYSCHAR, L'/', 1 << 29);
  PostMessageW(main_, WM_COMMAND, 104, 0);
  pump_->Pump(500);
  EXPECT_TRUE(IsWindow(main_));
  for (const ButtonSpec& expected : Buttons) {
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(main_, expected.id)));
    EXPECT_FALSE(FileExists(LogPath(expected.logName)));
  }

  PostMessageW(main_, WM_CLOSE, 0, 0);
  ExpectExitWithZero();
}

struct Press {
  ButtonSpec button;
  bool closedWhileRunning;  // the user closes the window before the action ends
};

void PrintTo(const Press& press, std::ostream* out) {
  *out << testing::PrintToString(press.button.label)
       << (press.closedWhileRunning ? ", closed while running" : "");
}

class PressingAButton : public DrelmoWindow, public testing::WithParamInterface<Press> {};

TEST_P(PressingAButton, DisablesAllButtonsRunsTheActionWithItsLogAndCloses) {
  const ButtonSpec& expected = GetParam().button;
  pump_->HoldNextThread();
  PostMessageW(GetDlgItem(main_, expected.id), BM_CLICK, 0, 0);

  // While the worker is held: every button disabled, the log prepared under
  // the action's log name, the window still open.
  ASSERT_TRUE(pump_->PumpUntil([this] { return pump_->holding() && AllButtonsDisabled(main_); }))
      << "the press did not start a worker and disable the buttons";
  EXPECT_TRUE(IsWindow(main_));
  EXPECT_EQ(ReadBytes(LogPath(expected.logName)), RunSeparatorBytes());

  // A second command while the action runs is dropped.
  const ButtonSpec& other = expected.id == 2000 ? Buttons[1] : Buttons[0];
  PostMessageW(main_, WM_COMMAND, other.id, 0);
  pump_->Pump(300);
  EXPECT_FALSE(FileExists(LogPath(other.logName)));

  if (GetParam().closedWhileRunning) {
    PostMessageW(main_, WM_CLOSE, 0, 0);
    ExpectExitWithZero();
    EXPECT_THAT(LastRunMessages(expected.logName),
                testing::ElementsAre(L"Action not completed: the window was closed while it ran."));
    return;
  }
  pump_->Release();
  ExpectExitWithZero();
  const std::vector<std::wstring> lines = LastRunMessages(expected.logName);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], L"Thread function enter!");
  EXPECT_EQ(lines[1].rfind(L"currentDirectory: " + PackageDirectory() + L";", 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(Each, PressingAButton,
                         testing::Values(Press{Buttons[0], false}, Press{Buttons[1], false},
                                         Press{Buttons[2], false}, Press{Buttons[3], false},
                                         Press{Buttons[0], true}),
                         [](const testing::TestParamInfo<Press>& info) {
                           const wchar_t* name = info.param.button.logName;
                           return std::string(name, name + wcslen(name)) +
                                  (info.param.closedWhileRunning ? "ClosedWhileRunning" : "");
                         });

// The resources, read from the program file itself.
class DrelmoResources : public testing::Test {
 protected:
  void SetUp() override {
    module_ = LoadLibraryExW(DrelmoExe().c_str(), nullptr,
                             LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module_, nullptr);
  }
  void TearDown() override {
    if (module_ != nullptr) FreeLibrary(module_);
  }

  // The raw bytes of a resource in US English.
  std::vector<unsigned char> Resource(const wchar_t* type, const wchar_t* name) {
    const HRSRC found =
        FindResourceExW(module_, type, name, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    if (found == nullptr) return {};
    const auto* data =
        static_cast<const unsigned char*>(LockResource(LoadResource(module_, found)));
    return std::vector<unsigned char>(data, data + SizeofResource(module_, found));
  }

  HMODULE module_ = nullptr;
};

TEST_F(DrelmoResources, StringsGiveTheTitleAndTheClassName) {
  wchar_t text[100] = {};
  EXPECT_EQ(LoadStringW(module_, 103, text, 100), 6);
  EXPECT_STREQ(text, L"Drelmo");
  EXPECT_EQ(LoadStringW(module_, 109, text, 100), 6);
  EXPECT_STREQ(text, L"DRELMO");
  // Strings 97 to 112 share one block: it must be in US English.
  EXPECT_FALSE(Resource(RT_STRING, MAKEINTRESOURCEW(109 / 16 + 1)).empty());
}

#pragma pack(push, 2)
struct IconGroupEntry {
  BYTE width, height, colours, reserved;
  WORD planes, bitCount;
  DWORD bytes;
  WORD id;
};
#pragma pack(pop)

class IconGroup : public DrelmoResources, public testing::WithParamInterface<int> {};

TEST_P(IconGroup, HoldsTheNineImages) {
  const std::vector<unsigned char> group = Resource(RT_GROUP_ICON, MAKEINTRESOURCEW(GetParam()));
  ASSERT_GE(group.size(), 6u);
  const WORD count = static_cast<WORD>(group[4] | (group[5] << 8));
  ASSERT_EQ(count, 9);
  ASSERT_EQ(group.size(), 6 + count * sizeof(IconGroupEntry));
  std::vector<std::pair<int, int>> images;  // (size, bits per pixel)
  for (WORD i = 0; i < count; ++i) {
    IconGroupEntry entry;
    memcpy(&entry, group.data() + 6 + i * sizeof(entry), sizeof(entry));
    images.emplace_back(entry.width == 0 ? 256 : entry.width, entry.bitCount);
    EXPECT_FALSE(Resource(RT_ICON, MAKEINTRESOURCEW(entry.id)).empty());
  }
  EXPECT_THAT(images, testing::UnorderedElementsAre(
                          std::make_pair(256, 8), std::make_pair(48, 8), std::make_pair(32, 8),
                          std::make_pair(16, 8), std::make_pair(256, 32), std::make_pair(64, 32),
                          std::make_pair(48, 32), std::make_pair(32, 32), std::make_pair(16, 32)));
  EXPECT_NE(LoadImageW(module_, MAKEINTRESOURCEW(GetParam()), IMAGE_ICON, 32, 32, 0), nullptr);
}

INSTANTIATE_TEST_SUITE_P(ClassAndSmallIcon, IconGroup, testing::Values(107, 108));

TEST_F(DrelmoResources, AcceleratorsAreTwoAltCharacterEntriesForCommand104) {
  const HACCEL table = LoadAcceleratorsW(module_, MAKEINTRESOURCEW(109));
  ASSERT_NE(table, nullptr);
  ACCEL entries[4] = {};
  ASSERT_EQ(CopyAcceleratorTableW(table, entries, 4), 2);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(entries[i].fVirt & (FVIRTKEY | FALT | FSHIFT | FCONTROL), FALT);
    EXPECT_EQ(entries[i].cmd, 104);
  }
  EXPECT_EQ(entries[0].key, '?');
  EXPECT_EQ(entries[1].key, '/');
  DestroyAcceleratorTable(table);
}

TEST_F(DrelmoResources, ManifestAsksForCommonControls6AsInvokerAndDpiAwareness) {
  const std::vector<unsigned char> bytes = Resource(MAKEINTRESOURCEW(24), MAKEINTRESOURCEW(1));
  ASSERT_FALSE(bytes.empty());
  const std::string manifest(bytes.begin(), bytes.end());
  using testing::HasSubstr;
  EXPECT_THAT(manifest,
              HasSubstr("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""));
  EXPECT_THAT(manifest, HasSubstr("processorArchitecture=\"amd64\""));
  EXPECT_THAT(manifest, HasSubstr("level=\"asInvoker\" uiAccess=\"false\""));
  EXPECT_THAT(manifest, HasSubstr(">true</dpiAware>"));
}

}  // namespace
