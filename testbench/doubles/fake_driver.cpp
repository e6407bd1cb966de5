#include "fake_driver.h"

#include <algorithm>

#include "bstr_holder.h"
#include "com_ref.h"
#include "wia_published.h"

namespace {

HRESULT Send(IWiaTransferCallback* service, DriverReport* report, LONG message, LONG percent,
             ULONG64 bytes) {
  WiaTransferParams params = {};
  params.lMessage = message;
  params.lPercentComplete = percent;
  params.ulTransferredBytes = bytes;
  params.hrErrorStatus = S_OK;
  const HRESULT hr = service->TransferCallback(0, &params);
  report->answers.push_back(hr);
  return hr;
}

// Writes one page into `stream`; returns S_OK, or what stopped it.
HRESULT WritePage(IWiaTransferCallback* service, IStream* stream, const DriverPage& page,
                  const DriverOptions& options, DriverPageReport* pageReport,
                  DriverReport* report) {
  const size_t total = page.bytes.size();
  const size_t piece = std::max<ULONG>(options.pieceSize, 1);
  for (size_t offset = 0; offset < total; offset += piece) {
    const ULONG length = static_cast<ULONG>(std::min(piece, total - offset));
    ULONG count = 0;
    const HRESULT hr =
        stream->Write(page.bytes.data() + offset, length, options.countPointer ? &count : nullptr);
    if (FAILED(hr)) {
      pageReport->writeFailure = hr;
      return hr;
    }
    pageReport->written += options.countPointer ? count : length;
    const LONG percent = static_cast<LONG>(pageReport->written * 100 / total);
    const HRESULT answer =
        Send(service, report, published::MessageStatus, percent, pageReport->written);
    if (answer != S_OK && options.stopOnCancel) return answer;
  }
  return S_OK;
}

}  // namespace

DriverReport PlayDriver(IWiaTransferCallback* service, const std::vector<DriverPage>& pages,
                        const DriverOptions& options) {
  DriverReport report;
  for (const DriverPage& page : pages) {
    report.pages.push_back(DriverPageReport());
    DriverPageReport& pageReport = report.pages.back();
    BstrHolder name(page.itemName.c_str());
    BstrHolder fullName(page.fullItemName.c_str());
    ComRef<IStream> stream;
    pageReport.nextStream = service->GetNextStream(0, name.get(), fullName.get(), stream.put());
    if (pageReport.nextStream == published::StatusSkipItem) continue;
    if (pageReport.nextStream != S_OK) {
      report.result = pageReport.nextStream;
      return report;
    }
    if (!stream) {
      report.result = E_POINTER;
      return report;
    }
    HRESULT hr = WritePage(service, stream.get(), page, options, &pageReport, &report);
    if (FAILED(hr) || (hr != S_OK && options.stopOnCancel)) {
      report.result = hr;
      return report;
    }
    hr = Send(service, &report, published::MessageEndOfStream, 100, pageReport.written);
    if (hr != S_OK && options.stopOnCancel) {
      report.result = hr;
      return report;
    }
  }
  const HRESULT hr = Send(service, &report, published::MessageEndOfTransfer, 100, 0);
  if (hr != S_OK && options.stopOnCancel) report.result = hr;
  return report;
}
