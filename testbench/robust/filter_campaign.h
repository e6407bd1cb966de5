// Transfers of generated pages through the whole filter, Vantrel.dll loaded
// the way COM loads it (DllGetClassObject, then the class factory), with the
// test doubles playing the scan item and the driver, and an application
// whose stream can fail its k-th call.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "bmp_pages.h"
#include "filter_library.h"

namespace robust {

// Vantrel.dll as the campaign loads it. When the platform keeps an object of
// the loaded library for good, that library stays loaded for the rest of the
// process, as it must, and a fresh copy of the file, loaded under a name of
// its own, serves from then on.
class CampaignLibrary : public FilterLibrary {
 public:
  // Loads `path`, or a copy of it when that library was set aside before.
  explicit CampaignLibrary(const std::wstring& path);
  // Sets the library aside and loads a fresh copy; false when no copy could
  // be loaded.
  bool SetAsideAndLoadACopy();

 private:
  std::wstring path_;
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
  std::string problem;          // empty when the transfer behaved
  HRESULT endOfStream = S_OK;   // the filter's answer to the end-of-stream message
  HRESULT writeFailure = S_OK;  // what a failing driver write returned
  unsigned appStreamCalls = 0;
  bool injected = false;
  bool setAside = false;  // the platform's decoder kept the library loaded
};

// Picks the mode, adjustment and piece size of transfer `index` of a page.
TransferSetup SetupFor(const PageCase& page);

// One transfer of one page; then, when `secondPage` is given, the same filter
// object is initialised again and transfers that page with a healthy
// application, which must come out well. Afterwards every double's
// reference must be back and DllCanUnloadNow must answer S_OK, unless
// Wine's GDI+ decoder keeps its stream when given the page's bytes directly:
// it then keeps the filter's page wrapper as well, which rightly holds the
// library loaded, and the library is set aside for a fresh copy.
TransferOutcome RunTransfer(CampaignLibrary& library, const PageCase& page,
                            const TransferSetup& setup, const PageCase* secondPage);

}  // namespace robust
