// The WIA platform's identifiers and constants as the test bench knows them.
//
// Nothing here comes from the filter's own headers or sources, so a value the
// filter has mistyped cannot be mistyped the same way here. Identifiers that
// the platform's import library defines (IID_IWiaPropertyStorage and
// WiaImgFmt_BMP in uuid.lib / MinGW-w64's libuuid) are taken from it; every
// other GUID is written below as the published string and parsed at run time
// with IIDFromString / CLSIDFromString; numbers are written as published.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <cstddef>

namespace published {

struct Identifiers {
  // Interfaces.
  IID transferCallback;  // IWiaTransferCallback
  IID imageFilter;       // IWiaImageFilter
  IID item2;             // IWiaItem2
  IID propertyStorage;   // IWiaPropertyStorage, from the platform's library
  // The two class identifiers the scanner's filter is registered under.
  CLSID filterFirst;
  CLSID filterSecond;
  // Item categories.
  GUID categoryFinishedFile;
  GUID categoryFolder;
  GUID categoryRoot;
  GUID categoryFlatbed;
  GUID categoryFeeder;
  // Image formats.
  GUID formatBmp;  // from the platform's library
  GUID formatRaw;
  // The first published string that did not parse, or null when all did.
  const wchar_t* unparsed;
};

// Parsed once, on first use.
const Identifiers& Ids();

// The published text of IWiaPropertyStorage's identifier, to check the
// platform library's value against.
extern const wchar_t PropertyStorageText[];

// Property ids.
constexpr PROPID FormatProperty = 4106;        // WIA_IPA_FORMAT, VT_CLSID
constexpr PROPID ItemCategoryProperty = 4125;  // WIA_IPA_ITEM_CATEGORY, VT_CLSID
constexpr PROPID BrightnessProperty = 6154;    // WIA_IPS_BRIGHTNESS, VT_I4
constexpr PROPID ContrastProperty = 6155;      // WIA_IPS_CONTRAST, VT_I4

// Transfer messages (WiaTransferParams::lMessage).
constexpr LONG MessageStatus = 1;
constexpr LONG MessageEndOfStream = 2;
constexpr LONG MessageEndOfTransfer = 3;
constexpr LONG MessageDeviceStatus = 5;
constexpr LONG MessageNewPage = 6;

// WIA_STATUS_SKIP_ITEM: a success code that skips the page.
constexpr HRESULT StatusSkipItem = static_cast<HRESULT>(0x00210009L);

// WiaTransferParams as published: LONG, LONG, ULONG64, HRESULT, with the
// platform's natural alignment.
constexpr size_t TransferParamsMessageOffset = 0;
constexpr size_t TransferParamsPercentOffset = 4;
constexpr size_t TransferParamsBytesOffset = 8;
constexpr size_t TransferParamsErrorOffset = 16;
constexpr size_t TransferParamsSize = 24;

}  // namespace published
