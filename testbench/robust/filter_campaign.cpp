#include "filter_campaign.h"

#include <algorithm>
#include <cstdio>

#include "bmp_check.h"
#include "com_ref.h"
#include "fake_application.h"
#include "fake_driver.h"
#include "fake_item.h"
#include "fault_stream.h"
#include "adjust_campaign.h"
#include "wia2.h"
#include "wia_published.h"

namespace robust {

namespace {

const wchar_t ChildName[] = L"Top";
const wchar_t ChildFullName[] = L"0000\\Root\\Top";

struct OnePage {
  DriverReport report;
  int appMessages = 0;
  int endOfStream = 0;
  ULONG64 endOfStreamBytes = 0;
  HRESULT endOfStreamStatus = S_OK;
  std::vector<unsigned char> received;
  unsigned appCalls = 0;
  bool injected = false;
  // The injected failure hit a call that only makes room for the file ahead
  // (Stat, SetSize, and the Seek that asks where a page written straight
  // through stands): a stream that refuses it is written as it is. The Seek
  // that puts such a page back after its room fails the write instead.
  bool roomOnly = false;
  ComRef<FaultStream> stream;  // the application's stream, kept to count its references
};

OnePage Transfer(IWiaImageFilter* filter, FakeWiaItem* item, const PageCase& page,
                 const TransferSetup& setup, std::string& problem) {
  OnePage out;
  // The application hands out a FaultStream per page.
  auto app = ComRef<FakeApplication>::adopt(FakeApplication::Create());
  if (!app) {
    problem += "test equipment: no application; ";
    return out;
  }
  const unsigned failAt = setup.failAppCall;
  app->MakeStreamsWith([failAt](IStream** stream) -> HRESULT {
    ComRef<FaultStream> made = FaultStream::Create();
    if (!made) return E_OUTOFMEMORY;
    made->Fail(StreamCall::Any, failAt, InjectedFailure(failAt));
    *stream = made.release();
    return S_OK;
  });
  HRESULT hr = filter->InitializeFilter(item, app.get());
  if (hr != S_OK) {
    problem += "InitializeFilter gave " + Hex(hr) + "; ";
    return out;
  }
  {
    ComRef<IWiaTransferCallback> service;
    hr = filter->QueryInterface(published::Ids().transferCallback,
                                reinterpret_cast<void**>(service.put()));
    if (FAILED(hr)) {
      problem += "no IWiaTransferCallback: " + Hex(hr) + "; ";
      return out;
    }
    DriverOptions options;
    options.pieceSize = setup.pieceSize;
    out.report =
        PlayDriver(service.get(), {DriverPage{ChildName, ChildFullName, page.bytes}}, options);
  }
  out.appMessages = static_cast<int>(app->Messages().size());
  for (const ReceivedMessage& message : app->Messages()) {
    if (message.params.lMessage != published::MessageEndOfStream) continue;
    ++out.endOfStream;
    out.endOfStreamBytes = message.params.ulTransferredBytes;
    out.endOfStreamStatus = message.params.hrErrorStatus;
  }
  if (!app->Pages().empty()) {
    // Every stream the application handed out is one of MakeStreamsWith's.
    auto* stream = static_cast<FaultStream*>(app->Pages().back().stream.get());
    out.received = stream->Contents();
    out.appCalls = stream->Calls();
    out.injected = stream->FailedCall() != nullptr;
    // The driver never seeks: a Seek on a page written straight through is
    // the filter asking where the page starts, to give it room.
    const std::string failed = out.injected ? stream->FailedCall() : "";
    out.roomOnly = failed == "Stat" || failed == "SetSize" ||
                   (failed == "Seek" && setup.mode != TransferMode::Adjusted);
    out.stream = ComRef<FaultStream>::copy(stream);
  }
  return out;
}

// A page that failed: the application must learn that it failed, and how
// much of it arrived.
void JudgeFailedPage(const OnePage& p, std::string& problem) {
  if (SUCCEEDED(p.endOfStreamStatus))
    problem += "failed page ended with status " + Hex(p.endOfStreamStatus) + "; ";
  if (p.endOfStreamBytes != p.received.size())
    problem += "end-of-stream byte count " + std::to_string(p.endOfStreamBytes) +
               " for a failed page of which " + std::to_string(p.received.size()) +
               " bytes arrived; ";
}

// Judges one transfer of a page that ran without injected failures.
void JudgeCleanPage(const OnePage& p, const PageCase& page, const TransferSetup& setup,
                    std::string& problem) {
  if (p.report.pages.empty() || p.report.pages[0].nextStream != S_OK) {
    problem += "GetNextStream failed; ";
    return;
  }
  if (p.endOfStream != 1) problem += "the application was not told of the end of the page; ";
  if (p.appMessages != static_cast<int>(p.report.answers.size()))
    problem += "messages lost on their way to the application; ";
  const HRESULT end =
      p.report.answers.size() >= 2 ? p.report.answers[p.report.answers.size() - 2] : E_FAIL;
  if (setup.mode != TransferMode::Adjusted) {
    if (p.received != page.bytes) problem += "the page did not reach the application unchanged; ";
    if (setup.mode == TransferMode::CountOnly && p.endOfStreamBytes != page.bytes.size())
      problem += "end-of-stream byte count " + std::to_string(p.endOfStreamBytes) + " for " +
                 std::to_string(page.bytes.size()) + " bytes written; ";
    if (end != S_OK) problem += "end of a page without adjustment answered " + Hex(end) + "; ";
    return;
  }
  if (SUCCEEDED(end)) {
    if (end != S_OK) problem += "end of stream answered " + Hex(end) + "; ";
    const std::string bad = BmpProblem(p.received.data(), p.received.size());
    if (!bad.empty()) problem += "adjusted page is a malformed BMP: " + bad + "; ";
    if (p.endOfStreamBytes != p.received.size())
      problem += "end-of-stream byte count " + std::to_string(p.endOfStreamBytes) +
                 " for an adjusted file of " + std::to_string(p.received.size()) + " bytes; ";
  } else {
    JudgeFailedPage(p, problem);
  }
}

}  // namespace

namespace {

// Libraries set aside in this process: the platform holds objects of them, so
// they are never freed, and a library that loads as one of them is replaced
// by a fresh copy.
std::vector<HMODULE>& SetAsideLibraries() {
  static std::vector<HMODULE> libraries;
  return libraries;
}

// Where the fresh copies go; copies left by earlier processes are removed
// (those still loaded somewhere stay).
std::wstring CopyFolder() {
  wchar_t temp[MAX_PATH];
  const DWORD length = GetTempPathW(MAX_PATH, temp);
  if (length == 0 || length >= MAX_PATH) return std::wstring();
  const std::wstring folder = std::wstring(temp) + L"vantrel-set-aside\\";
  static bool cleaned = false;
  if (!cleaned) {
    cleaned = true;
    CreateDirectoryW(folder.c_str(), nullptr);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"*.dll").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        DeleteFileW((folder + found.cFileName).c_str());
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
  }
  return folder;
}

}  // namespace

CampaignLibrary::CampaignLibrary(const std::wstring& path) : FilterLibrary(path), path_(path) {
  const std::vector<HMODULE>& setAside = SetAsideLibraries();
  if (get() && std::find(setAside.begin(), setAside.end(), get()) != setAside.end()) {
    reset();  // only our own load; the set-aside one stays
    SetAsideAndLoadACopy();
  }
}

bool CampaignLibrary::SetAsideAndLoadACopy() {
  if (get()) SetAsideLibraries().push_back(release());
  static unsigned copies = 0;
  const std::wstring folder = CopyFolder();
  if (folder.empty()) return false;
  const std::wstring copy = folder + L"Vantrel-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(++copies) + L".dll";
  return CopyFileW(path_.c_str(), copy.c_str(), FALSE) && Load(copy);
}

TransferSetup SetupFor(const PageCase& page) {
  Rng rng(MixSeed(page.index, 0xF117E2));
  TransferSetup s;
  const uint32_t pick = rng.Below(10);
  s.mode = pick == 0   ? TransferMode::CountOnly
           : pick == 1 ? TransferMode::PassThrough
                       : TransferMode::Adjusted;
  s.brightness = page.args.brightness;
  s.contrast = page.args.contrast;
  if (s.mode == TransferMode::Adjusted && s.brightness == 0 && s.contrast == 0) s.brightness = 200;
  static const std::vector<ULONG> pieces = {1u << 20, 4096, 1000, 54, 7};
  s.pieceSize = rng.Pick(pieces);
  if (s.pieceSize < 54 && page.bytes.size() > 4096) s.pieceSize = 4096;
  return s;
}

TransferOutcome RunTransfer(CampaignLibrary& library, const PageCase& page,
                            const TransferSetup& setup, const PageCase* secondPage) {
  TransferOutcome outcome;
  std::string& problem = outcome.problem;
  auto item = ComRef<FakeWiaItem>::adopt(FakeWiaItem::Create(published::Ids().categoryFlatbed));
  auto child = ComRef<FakeWiaItem>::adopt(FakeWiaItem::Create(published::Ids().categoryFlatbed));
  if (!item || !child) {
    problem = "test equipment: no scan item";
    return outcome;
  }
  const bool adjusted = setup.mode == TransferMode::Adjusted;
  child->SetLong(published::BrightnessProperty, adjusted ? setup.brightness : 0);
  child->SetLong(published::ContrastProperty, adjusted ? setup.contrast : 0);
  child->SetGuid(published::FormatProperty, setup.mode == TransferMode::PassThrough
                                                ? published::Ids().formatRaw
                                                : published::Ids().formatBmp);
  item->AddChild(ChildFullName, child.get());

  std::vector<ComRef<FaultStream>> streams;
  {
    ComRef<IWiaImageFilter> filter;
    const HRESULT hr = library.CreateFilter(filter.put());
    if (FAILED(hr)) {
      outcome.problem = "no filter: " + Hex(hr);
      return outcome;
    }
    OnePage first = Transfer(filter.get(), item.get(), page, setup, problem);
    outcome.appStreamCalls = first.appCalls;
    outcome.injected = first.injected;
    outcome.endOfStream = first.report.answers.size() >= 2
                              ? first.report.answers[first.report.answers.size() - 2]
                              : S_OK;
    outcome.writeFailure = first.report.pages.empty() ? S_OK : first.report.pages[0].writeFailure;
    const HRESULT injected = InjectedFailure(setup.failAppCall);
    if (setup.failAppCall == 0 || (first.roomOnly && outcome.writeFailure != injected)) {
      JudgeCleanPage(first, page, setup, problem);
    } else if (first.injected) {
      // The failure must come back to the driver unchanged: through its
      // Write when it writes straight into the application's stream, else
      // as the answer to the end-of-stream message.
      if (outcome.writeFailure != injected && outcome.endOfStream != injected)
        problem += "injected " + Hex(injected) + " came back as write " +
                   Hex(outcome.writeFailure) + ", end of stream " + Hex(outcome.endOfStream) + "; ";
      // An adjusted page that failed on its way into the application's
      // stream.
      if (setup.mode == TransferMode::Adjusted && outcome.endOfStream == injected &&
          first.endOfStream == 1)
        JudgeFailedPage(first, problem);
    }
    streams.push_back(std::move(first.stream));
    if (secondPage) {
      TransferSetup healthy;
      OnePage second = Transfer(filter.get(), item.get(), *secondPage, healthy, problem);
      std::string secondProblem;
      JudgeCleanPage(second, *secondPage, healthy, secondProblem);
      if (!secondProblem.empty()) problem += "later page after InitializeFilter: " + secondProblem;
      streams.push_back(std::move(second.stream));
    }
  }
  // The filter is gone, and with it the applications: only our own
  // references to their streams may be left.
  for (const ComRef<FaultStream>& stream : streams)
    if (stream && stream->Refs() != 1)
      problem +=
          "references to the application's stream kept: " + std::to_string(stream->Refs() - 1) +
          "; ";
  item->ClearChildren();
  if (item->Refs() != 1 || child->Refs() != 1)
    problem += "scan item references kept (item " + std::to_string(item->Refs() - 1) + ", child " +
               std::to_string(child->Refs() - 1) + "); ";
  const HRESULT unload = library.CanUnloadNow();
  if (unload != S_OK) {
    if (adjusted && DecoderKeepsStreamReference(page.bytes)) {
      // The decoder keeps the page wrapper it was lent: an object of the
      // library, which must then stay loaded.
      outcome.setAside = true;
      if (!library.SetAsideAndLoadACopy())
        problem += "test equipment: no fresh copy of Vantrel.dll; ";
    } else {
      problem += "DllCanUnloadNow " + Hex(unload) + " after the transfer (ModuleLockCount not 0); ";
    }
  }
  return outcome;
}

}  // namespace robust
