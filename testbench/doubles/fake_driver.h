// PlayDriver: plays a scanner driver in a WIA transfer. For each page it asks
// the service side (here: the image filter's IWiaTransferCallback) for a
// stream, writes the page's BMP in pieces with a progress message after each
// piece, and ends the page with an end-of-stream message; an end-of-transfer
// message closes the transfer.
#pragma once

#include <string>
#include <vector>

#include "wia2.h"

struct DriverPage {
  std::wstring itemName;
  std::wstring fullItemName;
  std::vector<BYTE> bytes;
};

struct DriverOptions {
  ULONG pieceSize = 1 << 20;
  bool countPointer = true;   // pass a count pointer to Write
  bool stopOnCancel = false;  // stop the transfer at the first answer other than S_OK
};

struct DriverPageReport {
  HRESULT nextStream = E_FAIL;  // GetNextStream's result
  ULONG64 written = 0;          // bytes the driver wrote
  HRESULT writeFailure = S_OK;  // first failing Write, if any
};

struct DriverReport {
  std::vector<DriverPageReport> pages;
  std::vector<HRESULT> answers;  // TransferCallback results, in order
  HRESULT result = S_OK;         // S_OK, or what ended the transfer early
};

DriverReport PlayDriver(IWiaTransferCallback* service, const std::vector<DriverPage>& pages,
                        const DriverOptions& options);
