// The filter installed the way it ships: the test driver package, which holds
// packaging/Vantrel-fragment.inf as a maker pastes it, is installed into the
// Wine prefix with SetupAPI (files and registry). The transfer host then finds
// the filter through the UI class's extension key, activates it on a
// single-threaded apartment thread and takes a page through it. A package
// without one of the lines the activation needs must fail, and the test says
// which line; the package's uninstall leaves nothing of the filter behind.
#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>

#include <ostream>
#include <string>
#include <vector>

#include "adjusted_copy.h"
#include "com_initializer.h"
#include "com_ref.h"
#include "host_run.h"
#include "host_support.h"
#include "inf_install.h"
#include "owner.h"
#include "utf8.h"
#include "wia2.h"
#include "wia_published.h"

namespace {

const std::wstring kPackage = FILTER_PACKAGE;
const std::wstring kUiClass = FILTER_TEST_UI_CLSID;
const wchar_t kInstallSection[] = L"QZFilter.NT";
const wchar_t kUninstallSection[] = L"QZUninstall.NT";
const wchar_t kUiClassRemoveSection[] = L"QZUiClassRemove";
const std::wstring kGreyPage = std::wstring(WIN_SOURCE_DIR) + L"/testbench/samples/grey8.bmp";

// What the activation needs of the installed lines, by the names the test
// reports them under.
const char kExtensionKey[] = "the extension key";
const char kInprocServer[] = "InProcServer32";
const char kThreadingModel[] = "ThreadingModel";
const char kFileCopy[] = "the file copy";
const std::vector<std::string> kEveryLine = {kExtensionKey, kInprocServer, kThreadingModel,
                                             kFileCopy};

const std::wstring& FilterClass() {
  static const std::wstring text = GuidText(published::Ids().filterFirst);
  return text;
}

std::wstring FolderOf(const std::wstring& path) {
  return path.substr(0, path.find_last_of(L"\\/"));
}

std::wstring InstalledDll() {
  wchar_t folder[MAX_PATH] = {};
  const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
  return std::wstring(folder, length) + L"\\Vantrel.dll";
}

bool KeyExists(const std::wstring& path) {
  RegKeyHolder key;
  return RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

bool ReadString(const std::wstring& path, const wchar_t* name, std::wstring* value) {
  wchar_t text[MAX_PATH] = {};
  DWORD size = sizeof(text) - sizeof(wchar_t);
  DWORD type = 0;
  if (RegGetValueW(HKEY_CLASSES_ROOT, path.c_str(), name, RRF_RT_REG_SZ, &type, text, &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  *value = text;
  return true;
}

std::wstring FirstSubkey(const std::wstring& path) {
  RegKeyHolder key;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
    return std::wstring();
  }
  wchar_t name[MAX_PATH] = {};
  DWORD length = MAX_PATH;
  if (RegEnumKeyExW(key.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr) !=
      ERROR_SUCCESS) {
    return std::wstring();
  }
  return std::wstring(name, length);
}

std::vector<BYTE> FileBytes(const std::wstring& path) {
  std::vector<BYTE> bytes;
  if (FAILED(ReadWholeFile(path, &bytes))) bytes.clear();
  return bytes;
}

// The lines the activation needs whose effect is not in the prefix: the
// filter's class as the one extension of the UI class, its server in the
// system folder, its threading model, and the library itself there.
std::vector<std::string> MissingLines() {
  std::vector<std::string> missing;
  if (FirstSubkey(L"CLSID\\" + kUiClass + L"\\shellex\\ImageProcessingFilter") != FilterClass()) {
    missing.push_back(kExtensionKey);
  }
  const std::wstring server = L"CLSID\\" + FilterClass() + L"\\InProcServer32";
  std::wstring path;
  if (!ReadString(server, nullptr, &path) || _wcsicmp(path.c_str(), InstalledDll().c_str()) != 0) {
    missing.push_back(kInprocServer);
  }
  std::wstring model;
  if (!ReadString(server, L"ThreadingModel", &model) || model != L"Apartment") {
    missing.push_back(kThreadingModel);
  }
  const std::vector<BYTE> installed = FileBytes(InstalledDll());
  if (installed.empty() || installed != FileBytes(FolderOf(kPackage) + L"\\Vantrel.dll")) {
    missing.push_back(kFileCopy);
  }
  return missing;
}

std::string Listed(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += (text.empty() ? "" : ", ") + line;
  return text.empty() ? "none" : text;
}

// Installs a section of a package whose files come from the test package's
// folder; returns what failed, or an empty text.
std::string Install(const std::wstring& inf, const wchar_t* section) {
  std::string failure;
  if (!InstallInfSection(inf, section, FolderOf(kPackage), &failure) && failure.empty()) {
    failure = "failed without a word";
  }
  return failure;
}

std::string ReadText(const std::wstring& path) {
  const std::vector<BYTE> bytes = FileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

class FilterPackageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    out_ = CurrentTestFolder(std::wstring(WIN_BINARY_DIR) + L"/package");
    DeleteFileW(Page().c_str());
    // Whatever an earlier run left, and the class as the transfer host
    // registers it for itself (--activation cocreate writes it anew each time).
    RemoveEverything();
    ASSERT_EQ(kEveryLine, MissingLines()) << "the prefix holds the filter before the install";
  }

  void TearDown() override {
    RemoveEverything();
    // Nothing of the package is left in the prefix.
    EXPECT_EQ(kEveryLine, MissingLines());
    EXPECT_FALSE(KeyExists(L"CLSID\\" + kUiClass));
  }

  static void RemoveEverything() {
    EXPECT_EQ("", Install(kPackage, kUninstallSection));
    EXPECT_EQ("", Install(kPackage, kUiClassRemoveSection));
  }

  // Scans the grey sample through the filter that the UI class's extension
  // key names, as WIA finds it, at brightness 250 and contrast 400.
  HostRun Scan() const {
    return RunHost(L"--activation installed --ui-clsid " + kUiClass +
                       L" --brightness 250 --contrast 400 --streams file --out \"" + out_ +
                       L"\" \"" + kGreyPage + L"\"",
                   out_ + L"/host.txt");
  }

  std::wstring Page() const { return out_ + L"/page1.bmp"; }

  std::wstring out_;
};

TEST_F(FilterPackageTest, InstalledPackageFiltersAPageFoundThroughTheUiClass) {
  ASSERT_EQ("", Install(kPackage, kInstallSection));
  EXPECT_EQ(std::vector<std::string>(), MissingLines());
  std::wstring name;
  EXPECT_TRUE(ReadString(L"CLSID\\" + FilterClass(), nullptr, &name) && !name.empty());

  const HostRun run = Scan();
  ASSERT_EQ(0u, run.exitCode) << "missing: " << Listed(MissingLines()) << "\n" << run.output;
  EXPECT_TRUE(run.Contains("extension: HKCR\\CLSID\\" + testbench::Utf8(kUiClass) +
                           "\\shellex\\ImageProcessingFilter\\" + testbench::Utf8(FilterClass())))
      << run.output;
  EXPECT_TRUE(run.Contains("filter: CoCreateInstance -> 0x00000000")) << run.output;
  EXPECT_TRUE(run.Contains("DllCanUnloadNow: S_OK")) << run.output;
  const std::vector<BYTE> grey = FileBytes(kGreyPage);
  const std::vector<BYTE> received = FileBytes(Page());
  EXPECT_NE(grey, received);
  EXPECT_EQ(AdjustedCopy(250, 400, grey), received);
  EXPECT_EQ(std::vector<ULONG64>{received.size()}, run.endOfStream) << run.output;
}

TEST_F(FilterPackageTest, UninstallLeavesNothingOfTheFilterAndItCannotBeActivated) {
  ASSERT_EQ("", Install(kPackage, kInstallSection));
  ASSERT_EQ(std::vector<std::string>(), MissingLines());
  ASSERT_EQ("", Install(kPackage, kUninstallSection));

  EXPECT_EQ(kEveryLine, MissingLines());
  EXPECT_FALSE(KeyExists(L"CLSID\\" + FilterClass()));
  EXPECT_FALSE(KeyExists(L"CLSID\\" + kUiClass + L"\\shellex\\ImageProcessingFilter"));
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(InstalledDll().c_str()));
  // The driver's own UI class is the maker's, not the filter's: it stays.
  EXPECT_TRUE(KeyExists(L"CLSID\\" + kUiClass));

  const HostRun run = Scan();
  EXPECT_NE(0u, run.exitCode) << run.output;
  EXPECT_TRUE(run.Contains("extension: no image processing filter")) << run.output;
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(Page().c_str()));
  // Not even the class id itself leads to the filter any more.
  ComInitializer com(COINIT_APARTMENTTHREADED);
  ASSERT_EQ(S_OK, com.result());
  ComRef<IWiaImageFilter> filter;
  EXPECT_EQ(REGDB_E_CLASSNOTREG,
            CoCreateInstance(published::Ids().filterFirst, nullptr, CLSCTX_INPROC_SERVER,
                             published::Ids().imageFilter, reinterpret_cast<void**>(filter.put())));
}

// A package with one line of the fragment left out, or changed.
struct Defect {
  const char* name;
  const wchar_t* line;         // as it stands in the fragment
  const wchar_t* replacement;  // null: the line is left out
  const char* missing;         // what the test reports as missing
  const char* hostSays;        // how the activation fails
};

void PrintTo(const Defect& defect, std::ostream* out) { *out << defect.name; }

// The package's text with `defect` applied; `applied` counts the lines changed.
std::string Defective(const std::string& package, const Defect& defect, int* applied) {
  const std::string line = testbench::Utf8(defect.line);
  std::string result;
  size_t start = 0;
  while (start < package.size()) {
    size_t end = package.find('\n', start);
    end = end == std::string::npos ? package.size() : end + 1;
    std::string text = package.substr(start, end - start);
    const size_t last = text.find_last_not_of("\r\n");
    if (text.substr(0, last == std::string::npos ? 0 : last + 1) == line) {
      ++*applied;
      text = defect.replacement ? testbench::Utf8(defect.replacement) + "\r\n" : std::string();
    }
    result += text;
    start = end;
  }
  return result;
}

class DefectivePackageTest : public FilterPackageTest,
                             public ::testing::WithParamInterface<Defect> {};

TEST_P(DefectivePackageTest, FailsToActivateAndNamesTheLine) {
  const Defect& defect = GetParam();
  int applied = 0;
  const std::string text = Defective(ReadText(kPackage), defect, &applied);
  ASSERT_EQ(1, applied) << "the package has no line " << testbench::Utf8(defect.line);
  const std::wstring inf = out_ + L"/QZFILTER.inf";
  ASSERT_EQ(S_OK, WriteWholeFile(inf, std::vector<BYTE>(text.begin(), text.end())));

  ASSERT_EQ("", Install(inf, kInstallSection));
  EXPECT_EQ(std::vector<std::string>{defect.missing}, MissingLines());
  const HostRun run = Scan();
  EXPECT_NE(0u, run.exitCode) << run.output;
  EXPECT_TRUE(run.Contains(defect.hostSays)) << run.output;
  EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(Page().c_str()));
}

INSTANTIATE_TEST_SUITE_P(
    EachLineTheActivationNeeds, DefectivePackageTest,
    ::testing::Values(
        Defect{"NoExtensionKey",
               L"HKCR,CLSID\\%UiClassId%\\shellex\\ImageProcessingFilter\\%VantrelClassId%",
               nullptr, kExtensionKey, "extension: no image processing filter"},
        Defect{"NoInprocServer",
               L"HKCR,CLSID\\%VantrelClassId%\\InProcServer32,,,\"%11%\\Vantrel.dll\"", nullptr,
               kInprocServer, "filter: CoCreateInstance -> 0x80040154"},
        Defect{"NoThreadingModel",
               L"HKCR,CLSID\\%VantrelClassId%\\InProcServer32,ThreadingModel,,\"Apartment\"",
               nullptr, kThreadingModel, "filter: CoCreateInstance -> 0x80004002"},
        Defect{"FreeThreadingModel",
               L"HKCR,CLSID\\%VantrelClassId%\\InProcServer32,ThreadingModel,,\"Apartment\"",
               L"HKCR,CLSID\\%VantrelClassId%\\InProcServer32,ThreadingModel,,\"Free\"",
               kThreadingModel, "filter: CoCreateInstance -> 0x80004002"},
        // Wine's COM answers a server library it cannot load with E_ACCESSDENIED.
        Defect{"NoFileCopy", L"Vantrel.dll", nullptr, kFileCopy,
               "filter: CoCreateInstance -> 0x80070005"}),
    [](const ::testing::TestParamInfo<Defect>& info) { return std::string(info.param.name); });

}  // namespace
