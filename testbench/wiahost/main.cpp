// wiahost: plays the WIA service, the scanner driver and the application around
// the Vantrel image filter, for tests and demos.
//
//   wiahost [options] PAGE.bmp [PAGE.bmp ...]
//
// It obtains the filter through COM, from the registration a driver package
// installed (found through the driver's UI class, as WIA finds it) or from one
// it writes itself, or straight from the DLL; hands it a scan item whose child
// carries the chosen properties and an application callback, then plays the
// driver for each page. Every message the application receives is printed; at
// the end the host reports whether the library may be unloaded.
#include <windows.h>
#include <objbase.h>

#include <cctype>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "com_initializer.h"
#include "com_ref.h"
#include "fake_application.h"
#include "fake_driver.h"
#include "fake_item.h"
#include "filter_library.h"
#include "host_support.h"
#include "owner.h"
#include "utf8.h"
#include "wia2.h"
#include "wia_published.h"

namespace {

const wchar_t kChildName[] = L"Flatbed";
const wchar_t kChildFullName[] = L"0000\\Root\\Flatbed";

const char kUsage[] =
    "usage: wiahost [options] PAGE.bmp [PAGE.bmp ...]\n"
    "  --activation cocreate|classobject|installed\n"
    "                                     how the filter is obtained (cocreate):\n"
    "                                     cocreate registers the DLL's classes itself\n"
    "                                     and creates the filter with CoCreateInstance;\n"
    "                                     classobject calls the DLL's DllGetClassObject;\n"
    "                                     installed registers nothing: it takes the class\n"
    "                                     under the UI class's shellex\\ImageProcessingFilter\n"
    "                                     key and creates it on a single-threaded\n"
    "                                     apartment thread\n"
    "  --ui-clsid {GUID}                  the driver's UI class (installed activation)\n"
    "  --clsid first|second               which of the two classes (first; not installed)\n"
    "  --dll PATH                         the filter library (Vantrel.dll beside wiahost;\n"
    "                                     not installed)\n"
    "  --brightness N, --contrast N       the child item's properties (0)\n"
    "  --category NAME|{GUID}             the child item's category (flatbed);\n"
    "                                     names: flatbed feeder finished folder root\n"
    "  --item-category NAME|{GUID}        the scan item's category (flatbed)\n"
    "  --format bmp|raw|{GUID}            the child item's format (bmp)\n"
    "  --piece N                          bytes per driver write (65536)\n"
    "  --no-count                         the driver writes without a count pointer\n"
    "  --stop-on-cancel                   the driver stops at an answer other than S_OK\n"
    "  --streams file|memory              the application's streams (file with --out)\n"
    "  --out DIR                          where received pages are saved as pageN.bmp\n"
    "  --app-next N:RESULT[:stream]       the application answers its N-th GetNextStream\n"
    "                                     with RESULT (S_FALSE, SKIP or a hex HRESULT)\n"
    "  --app-answer N:RESULT              the application answers its N-th message\n"
    "                                     with RESULT\n"
    "  --time                             print each page's time (from the application's\n"
    "                                     GetNextStream to its answer to the page's\n"
    "                                     end-of-stream message) and the transfer's\n"
    "  --quiet                            no line per message the application receives\n"
    "Each page ends with a verdict line, quiet or not: \"page N: delivered, B bytes\" or\n"
    "\"page N: refused: REASON (0xHRESULT)\". The exit code is 3 when a page was refused\n"
    "(its end-of-stream message carried a failure) and all else went well.\n";

enum class Activation { CoCreate, ClassObject, Installed };

struct Options {
  Activation activation = Activation::CoCreate;
  GUID uiClass = GUID_NULL;
  bool uiClassGiven = false;
  int clsid = 0;
  std::wstring dll;
  LONG brightness = 0;
  LONG contrast = 0;
  GUID category = published::Ids().categoryFlatbed;
  GUID itemCategory = published::Ids().categoryFlatbed;
  GUID format = published::Ids().formatBmp;
  DriverOptions driver;
  bool fileStreams = false;
  std::wstring out;
  int nextIndex = -1;
  HRESULT nextResult = S_OK;
  bool nextWithStream = false;
  int answerIndex = -1;
  HRESULT answerResult = S_OK;
  bool time = false;
  bool quiet = false;
  std::vector<std::wstring> pages;
};

bool ParseLong(const std::wstring& text, LONG* value) {
  if (text.empty()) return false;
  wchar_t* end = nullptr;
  const long number = std::wcstol(text.c_str(), &end, 0);
  if (*end != L'\0') return false;
  *value = number;
  return true;
}

bool ParseCategory(const std::wstring& text, GUID* value) {
  if (text == L"flatbed") *value = published::Ids().categoryFlatbed;
  else if (text == L"feeder") *value = published::Ids().categoryFeeder;
  else if (text == L"finished") *value = published::Ids().categoryFinishedFile;
  else if (text == L"folder") *value = published::Ids().categoryFolder;
  else if (text == L"root") *value = published::Ids().categoryRoot;
  else return SUCCEEDED(CLSIDFromString(text.c_str(), value));
  return true;
}

bool ParseFormat(const std::wstring& text, GUID* value) {
  if (text == L"bmp") *value = published::Ids().formatBmp;
  else if (text == L"raw") *value = published::Ids().formatRaw;
  else return SUCCEEDED(CLSIDFromString(text.c_str(), value));
  return true;
}

bool ParseResult(const std::wstring& text, HRESULT* value) {
  if (text == L"S_OK") *value = S_OK;
  else if (text == L"S_FALSE") *value = S_FALSE;
  else if (text == L"SKIP") *value = published::StatusSkipItem;
  else {
    wchar_t* end = nullptr;
    const unsigned long number = std::wcstoul(text.c_str(), &end, 16);
    if (text.empty() || *end != L'\0') return false;
    *value = static_cast<HRESULT>(number);
  }
  return true;
}

// "N:RESULT" or "N:RESULT:stream" with N counted from 1.
bool ParseAnswer(const std::wstring& text, int* index, HRESULT* result, bool* withStream) {
  const size_t colon = text.find(L':');
  if (colon == std::wstring::npos) return false;
  LONG number = 0;
  if (!ParseLong(text.substr(0, colon), &number) || number < 1) return false;
  std::wstring rest = text.substr(colon + 1);
  const size_t second = rest.find(L':');
  if (second != std::wstring::npos) {
    if (!withStream || rest.substr(second + 1) != L"stream") return false;
    *withStream = true;
    rest = rest.substr(0, second);
  }
  *index = static_cast<int>(number) - 1;
  return ParseResult(rest, result);
}

bool ParseOptions(int argc, wchar_t** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    const bool hasValue = i + 1 < argc;
    const std::wstring value = hasValue ? argv[i + 1] : std::wstring();
    bool ok = true;
    bool usesValue = true;
    if (arg == L"--activation") {
      ok = value == L"cocreate" || value == L"classobject" || value == L"installed";
      options->activation = value == L"installed"     ? Activation::Installed
                            : value == L"classobject" ? Activation::ClassObject
                                                      : Activation::CoCreate;
    } else if (arg == L"--ui-clsid") {
      ok = SUCCEEDED(CLSIDFromString(value.c_str(), &options->uiClass));
      options->uiClassGiven = ok;
    } else if (arg == L"--clsid") {
      ok = value == L"first" || value == L"second";
      options->clsid = value == L"second" ? 1 : 0;
    } else if (arg == L"--dll") {
      options->dll = value;
    } else if (arg == L"--brightness") {
      ok = ParseLong(value, &options->brightness);
    } else if (arg == L"--contrast") {
      ok = ParseLong(value, &options->contrast);
    } else if (arg == L"--category") {
      ok = ParseCategory(value, &options->category);
    } else if (arg == L"--item-category") {
      ok = ParseCategory(value, &options->itemCategory);
    } else if (arg == L"--format") {
      ok = ParseFormat(value, &options->format);
    } else if (arg == L"--piece") {
      LONG piece = 0;
      ok = ParseLong(value, &piece) && piece > 0;
      options->driver.pieceSize = static_cast<ULONG>(piece);
    } else if (arg == L"--streams") {
      ok = value == L"file" || value == L"memory";
      options->fileStreams = value == L"file";
    } else if (arg == L"--out") {
      options->out = value;
    } else if (arg == L"--app-next") {
      ok = ParseAnswer(value, &options->nextIndex, &options->nextResult, &options->nextWithStream);
    } else if (arg == L"--app-answer") {
      ok = ParseAnswer(value, &options->answerIndex, &options->answerResult, nullptr);
    } else if (arg == L"--no-count") {
      options->driver.countPointer = false;
      usesValue = false;
    } else if (arg == L"--stop-on-cancel") {
      options->driver.stopOnCancel = true;
      usesValue = false;
    } else if (arg == L"--time") {
      options->time = true;
      usesValue = false;
    } else if (arg == L"--quiet") {
      options->quiet = true;
      usesValue = false;
    } else if (arg.compare(0, 2, L"--") == 0) {
      std::printf("unknown option %s\n", testbench::Utf8(arg).c_str());
      return false;
    } else {
      options->pages.push_back(arg);
      usesValue = false;
    }
    if (usesValue && !hasValue) ok = false;
    if (!ok) {
      std::printf("bad value for %s\n", testbench::Utf8(arg).c_str());
      return false;
    }
    if (usesValue) ++i;
  }
  if (options->pages.empty()) {
    std::printf("no pages given\n");
    return false;
  }
  if (options->fileStreams && options->out.empty()) {
    std::printf("--streams file needs --out\n");
    return false;
  }
  if ((options->activation == Activation::Installed) != options->uiClassGiven) {
    std::printf("--ui-clsid goes with --activation installed, and only with it\n");
    return false;
  }
  if (options->dll.empty()) options->dll = ProgramFolder() + L"\\Vantrel.dll";
  return true;
}

using CanUnloadNowFn = HRESULT(STDAPICALLTYPE*)();

void* Proc(HMODULE module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(module, name));
}

// The image processing filter of the driver's UI class, as WIA looks it up: the
// class named by the subkey of HKCR\CLSID\<UI class>\shellex\ImageProcessingFilter.
HRESULT FindInstalledFilter(const GUID& uiClass, CLSID* filterClass) {
  const std::wstring path = L"CLSID\\" + GuidText(uiClass) + L"\\shellex\\ImageProcessingFilter";
  RegKeyHolder key;
  LSTATUS status = RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, key.put());
  wchar_t name[40] = {};
  DWORD length = 40;
  if (status == ERROR_SUCCESS) {
    status = RegEnumKeyExW(key.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr);
  }
  HRESULT hr = HRESULT_FROM_WIN32(status);
  if (SUCCEEDED(hr)) hr = CLSIDFromString(name, filterClass);
  if (FAILED(hr)) {
    std::printf("extension: no image processing filter under HKCR\\%s: 0x%08lX\n",
                testbench::Utf8(path).c_str(), static_cast<unsigned long>(hr));
    return hr;
  }
  std::printf("extension: HKCR\\%s\\%s\n", testbench::Utf8(path).c_str(),
              testbench::Utf8(name).c_str());
  return S_OK;
}

// Obtains the filter as the options say; `library` keeps a directly loaded DLL.
HRESULT CreateFilter(const Options& options, FilterLibrary* library, IWiaImageFilter** filter) {
  if (options.activation == Activation::Installed) {
    CLSID installed = GUID_NULL;
    const HRESULT hr = FindInstalledFilter(options.uiClass, &installed);
    if (FAILED(hr)) return hr;
    return CoCreateInstance(installed, nullptr, CLSCTX_INPROC_SERVER, published::Ids().imageFilter,
                            reinterpret_cast<void**>(filter));
  }
  const CLSID filterClasses[] = {published::Ids().filterFirst, published::Ids().filterSecond};
  const CLSID& clsid = filterClasses[options.clsid];
  if (options.activation == Activation::CoCreate) {
    for (const CLSID& served : filterClasses) {
      const HRESULT hr = RegisterInprocServer(served, options.dll);
      if (FAILED(hr)) {
        std::printf("registering the filter failed: 0x%08lX\n", static_cast<unsigned long>(hr));
        return hr;
      }
    }
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, published::Ids().imageFilter,
                            reinterpret_cast<void**>(filter));
  }
  if (!library->Load(options.dll) && !library->get()) return HRESULT_FROM_WIN32(GetLastError());
  return library->CreateFilter(filter, clsid);
}

// What the filter library answers once everything is released. An installed
// filter is the Vantrel.dll that COM loaded from where the registration says.
HRESULT CanUnloadNow(const Options& options, const FilterLibrary& library) {
  if (options.activation == Activation::ClassObject) return library.CanUnloadNow();
  HMODULE module = options.activation == Activation::Installed
                       ? GetModuleHandleW(L"Vantrel.dll")
                       : GetModuleHandleW(options.dll.c_str());
  if (!module) return HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND);
  auto canUnloadNow = reinterpret_cast<CanUnloadNowFn>(Proc(module, "DllCanUnloadNow"));
  if (!canUnloadNow) return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
  return canUnloadNow();
}

bool LoadPages(const Options& options, std::vector<DriverPage>* pages) {
  for (const std::wstring& path : options.pages) {
    DriverPage page{kChildName, kChildFullName, {}};
    const HRESULT hr = ReadWholeFile(path, &page.bytes);
    if (FAILED(hr)) {
      std::printf("cannot read %s: 0x%08lX\n", testbench::Utf8(path).c_str(),
                  static_cast<unsigned long>(hr));
      return false;
    }
    pages->push_back(std::move(page));
  }
  return true;
}

// The platform's words for a failure, without the trailing full stop.
std::string ReasonOf(HRESULT hr) {
  const DWORD code = HRESULT_FACILITY(hr) == FACILITY_WIN32 ? HRESULT_CODE(hr) : hr;
  wchar_t text[256] = {};
  const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                      nullptr, code, 0, text, 256, nullptr);
  std::string reason = length ? testbench::Utf8(text) : std::string("error");
  while (!reason.empty() &&
         (reason.back() == '.' || std::isspace(static_cast<unsigned char>(reason.back())))) {
    reason.pop_back();
  }
  return reason;
}

// One verdict per page from its end-of-stream message: false when a page was
// refused (the message carried a failure).
bool ReportVerdicts(const FakeApplication& application) {
  bool delivered = true;
  int page = 0;
  for (const ReceivedMessage& message : application.Messages()) {
    if (message.params.lMessage != published::MessageEndOfStream) continue;
    const HRESULT status = message.params.hrErrorStatus;
    if (FAILED(status)) {
      std::printf("page %d: refused: %s (0x%08lX)\n", ++page, ReasonOf(status).c_str(),
                  static_cast<unsigned long>(status));
      delivered = false;
    } else {
      std::printf("page %d: delivered, %llu bytes\n", ++page,
                  static_cast<unsigned long long>(message.params.ulTransferredBytes));
    }
  }
  return delivered;
}

// Saves memory pages into the output folder and reports every received page.
bool ReportPages(const Options& options, const FakeApplication& application) {
  bool ok = true;
  for (size_t i = 0; i < application.Pages().size(); ++i) {
    const std::vector<BYTE> bytes = application.PageBytes(i);
    std::wstring path = application.Pages()[i].path;
    if (path.empty() && !options.out.empty()) {
      path = options.out + L"\\page" + std::to_wstring(i + 1) + L".bmp";
      const HRESULT hr = WriteWholeFile(path, bytes);
      if (FAILED(hr)) {
        std::printf("cannot write %s: 0x%08lX\n", testbench::Utf8(path).c_str(),
                    static_cast<unsigned long>(hr));
        ok = false;
      }
    }
    std::printf("received page %zu: %zu bytes%s%s\n", i + 1, bytes.size(),
                path.empty() ? "" : " in ", testbench::Utf8(path).c_str());
  }
  return ok;
}

int RunTransfer(const Options& options) {
  std::vector<DriverPage> pages;
  if (!LoadPages(options, &pages)) return 1;
  if (!options.out.empty()) CreateDirectoryW(options.out.c_str(), nullptr);

  auto item = ComRef<FakeWiaItem>::adopt(FakeWiaItem::Create(options.itemCategory));
  auto child = ComRef<FakeWiaItem>::adopt(FakeWiaItem::Create(options.category));
  auto application = ComRef<FakeApplication>::adopt(
      FakeApplication::Create(options.fileStreams ? options.out : std::wstring()));
  if (!item || !child || !application) return 1;
  child->SetLong(published::BrightnessProperty, options.brightness);
  child->SetLong(published::ContrastProperty, options.contrast);
  child->SetGuid(published::FormatProperty, options.format);
  item->AddChild(kChildFullName, child.get());
  application->SetEcho(!options.quiet);
  if (options.nextIndex >= 0) {
    application->AnswerNextStream(options.nextIndex, options.nextResult, options.nextWithStream);
  }
  if (options.answerIndex >= 0)
    application->AnswerMessage(options.answerIndex, options.answerResult);

  FilterLibrary library;
  {
    ComRef<IWiaImageFilter> filter;
    HRESULT hr = CreateFilter(options, &library, filter.put());
    std::printf(
        "filter: %s -> 0x%08lX\n",
        options.activation == Activation::ClassObject ? "DllGetClassObject" : "CoCreateInstance",
        static_cast<unsigned long>(hr));
    if (FAILED(hr)) return 1;
    hr = filter->InitializeFilter(item.get(), application.get());
    std::printf("InitializeFilter -> 0x%08lX\n", static_cast<unsigned long>(hr));
    if (SUCCEEDED(hr)) {
      ComRef<IWiaTransferCallback> service;
      hr = filter->QueryInterface(published::Ids().transferCallback,
                                  reinterpret_cast<void**>(service.put()));
      if (FAILED(hr)) return 1;
      LARGE_INTEGER transferStart = {};
      QueryPerformanceCounter(&transferStart);
      const DriverReport report = PlayDriver(service.get(), pages, options.driver);
      const double transferSeconds = SecondsSince(transferStart);
      for (size_t i = 0; i < report.pages.size(); ++i) {
        const DriverPageReport& page = report.pages[i];
        std::printf("driver: page %zu: GetNextStream -> 0x%08lX, wrote %llu bytes", i + 1,
                    static_cast<unsigned long>(page.nextStream),
                    static_cast<unsigned long long>(page.written));
        if (FAILED(page.writeFailure)) {
          std::printf(", write failed 0x%08lX", static_cast<unsigned long>(page.writeFailure));
        }
        std::printf("\n");
      }
      std::printf("driver: transfer -> 0x%08lX\n", static_cast<unsigned long>(report.result));
      if (options.time) {
        const std::vector<double>& seconds = application->PageSeconds();
        for (size_t i = 0; i < seconds.size(); ++i) {
          std::printf("time: page %zu: %.3f ms\n", i + 1, seconds[i] * 1000.0);
        }
        std::printf("time: transfer: %.3f ms for %zu page%s\n", transferSeconds * 1000.0,
                    seconds.size(), seconds.size() == 1 ? "" : "s");
      }
    }
  }
  const bool delivered = ReportVerdicts(*application.get());
  const bool saved = ReportPages(options, *application.get());
  application->ReleasePages();
  item->ClearChildren();
  const bool released = item->Refs() == 1 && child->Refs() == 1 && application->Refs() == 1;
  std::printf("test doubles released: %s\n", released ? "yes" : "no");
  const HRESULT unload = CanUnloadNow(options, library);
  if (unload == S_OK || unload == S_FALSE) {
    std::printf("DllCanUnloadNow: %s\n", unload == S_OK ? "S_OK" : "S_FALSE");
  } else {
    std::printf("DllCanUnloadNow: not callable (0x%08lX)\n", static_cast<unsigned long>(unload));
  }
  if (!saved || !released || unload != S_OK) return 2;
  return delivered ? 0 : 3;
}

struct TransferThread {
  const Options* options;
  int result;
};

DWORD WINAPI RunTransferInApartment(void* parameter) {
  auto* transfer = static_cast<TransferThread*>(parameter);
  ComInitializer com(COINIT_APARTMENTTHREADED);
  transfer->result = SUCCEEDED(com.result()) ? RunTransfer(*transfer->options) : 1;
  return 0;
}

// An installed filter is registered for single-threaded apartments: the
// transfer runs on a thread of its own in one, which activates the filter and
// makes every call to it. The program's first thread is the process's main
// apartment and serves COM's calls into it while it waits. A class registered
// without a threading model is created in the main apartment, and one
// registered "Free" in the multithreaded apartment, not in the apartment that
// asks for it; the filter's interfaces would then have to be marshalled to the
// transfer thread, which nothing here provides, so such a registration fails
// to activate.
int RunOnTransferThread(const Options& options) {
  ComInitializer mainApartment(COINIT_APARTMENTTHREADED);
  if (FAILED(mainApartment.result())) return 1;
  TransferThread transfer{&options, 1};
  HandleOwner thread(CreateThread(nullptr, 0, RunTransferInApartment, &transfer, 0, nullptr));
  if (!thread) return 1;
  HANDLE handles[] = {thread.get()};
  DWORD index = 0;
  const HRESULT hr = CoWaitForMultipleHandles(0, INFINITE, 1, handles, &index);
  return SUCCEEDED(hr) ? transfer.result : 1;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  const LocalOwner arguments(argv);
  if (!argv) return 1;
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::printf("%s", kUsage);
    return 1;
  }
  int result = 1;
  if (options.activation == Activation::Installed) {
    result = RunOnTransferThread(options);
  } else {
    ComInitializer com;
    if (SUCCEEDED(com.result())) result = RunTransfer(options);
  }
  std::fflush(stdout);
  return result;
}
