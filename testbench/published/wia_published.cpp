#include "wia_published.h"

#include <wia.h>

namespace published {

const wchar_t PropertyStorageText[] = L"{98B5E8A0-29CC-491A-AAC0-E6DB4FDCCEB6}";

namespace {

void Parse(const wchar_t* text, GUID* value, Identifiers* ids) {
  if (FAILED(CLSIDFromString(text, value))) {
    *value = GUID_NULL;
    if (!ids->unparsed) ids->unparsed = text;
  }
}

Identifiers ParseAll() {
  Identifiers ids = {};
  Parse(L"{27D4EAAF-28A6-4CA5-9AAB-E678168B9527}", &ids.transferCallback, &ids);
  Parse(L"{A8A79FFA-450B-41F1-8F87-849CCD94EBF6}", &ids.imageFilter, &ids);
  Parse(L"{6CBA0075-1287-407D-9B77-CF0E030435CC}", &ids.item2, &ids);
  ids.propertyStorage = IID_IWiaPropertyStorage;
  Parse(L"{5E2B7C41-9A3D-4F86-B1C7-2D94E0A36F18}", &ids.filterFirst, &ids);
  Parse(L"{A7D04E92-36C1-4B5F-8E2A-71C9F5B0D346}", &ids.filterSecond, &ids);
  Parse(L"{FF2B77CA-CF84-432B-A735-3A130DDE2A88}", &ids.categoryFinishedFile, &ids);
  Parse(L"{C692A446-6F5A-481D-85BB-92E2E86FD30A}", &ids.categoryFolder, &ids);
  Parse(L"{F193526F-59B8-4A26-9888-E16E4F97CE10}", &ids.categoryRoot, &ids);
  Parse(L"{FB607B1F-43F3-488B-855B-FB703EC342A6}", &ids.categoryFlatbed, &ids);
  Parse(L"{FE131934-F84C-42AD-8DA4-6129CDDD7288}", &ids.categoryFeeder, &ids);
  ids.formatBmp = WiaImgFmt_BMP;
  Parse(L"{6F120719-F1A8-4E07-9ADE-9B64C63A3DCC}", &ids.formatRaw, &ids);
  return ids;
}

}  // namespace

const Identifiers& Ids() {
  static const Identifiers ids = ParseAll();
  return ids;
}

}  // namespace published
