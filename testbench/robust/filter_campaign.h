// Transfers of generated pages through the whole filter, Vantrel.dll loaded
// the way COM loads it (DllGetClassObject, then the class factory), with the
// test doubles playing the scan item and the driver, and an application
// whose stream can fail its k-th call.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "bmp_pages.h"

namespace robust {

class FilterLibrary {
 public:
  // Loads Vantrel.dll from `path`.
  explicit FilterLibrary(const std::wstring& path);
  FilterLibrary(const FilterLibrary&) = delete;
  FilterLibrary& operator=(const FilterLibrary&) = delete;
  ~FilterLibrary();
  bool Loaded() const { return getClassObject_ != nullptr && canUnloadNow_ != nullptr; }
  HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out) const {
    return getClassObject_(clsid, iid, out);
  }
  // S_OK exactly when the library's object count is 0.
  HRESULT CanUnloadNow() const { return canUnloadNow_(); }

 private:
  HMODULE module_ = nullptr;
  HRESULT(STDAPICALLTYPE* getClassObject_)(REFCLSID, REFIID, void**) = nullptr;
  HRESULT(STDAPICALLTYPE* canUnloadNow_)() = nullptr;
};

// How the scan item presents the page to the filter.
enum class TransferMode { Adjusted, CountOnly, PassThrough };

struct TransferSetup {
  TransferMode mode = TransferMode::Adjusted;
  LONG brightness = 200;
  LONG contrast = 0;
  ULONG pieceSize = 4096;
  unsigned failAppCall = 0;  // the application's stream fails this call (0: none)
};

struct TransferOutcome {
  std::string problem;      // empty when the transfer behaved
  HRESULT endOfStream = S_OK;  // the filter's answer to the end-of-stream message
  HRESULT writeFailure = S_OK; // what a failing driver write returned
  unsigned appStreamCalls = 0;
  bool injected = false;
};

// Picks the mode, adjustment and piece size of transfer `index` of a page.
TransferSetup SetupFor(const PageCase& page);

// One transfer of one page; then, when `secondPage` is given, the same filter
// object is initialised again and transfers that page with a healthy
// application, which must come out well. Afterwards every double's
// reference must be back and DllCanUnloadNow must answer S_OK.
TransferOutcome RunTransfer(const FilterLibrary& library, const PageCase& page,
                            const TransferSetup& setup, const PageCase* secondPage);

}  // namespace robust
