// Every identifier and constant the filter holds for the platform, compared
// field by field with the test bench's own table, which takes them from the
// platform's import library or parses them from their published text. A value
// mistyped in the filter's sources fails here, however the doubles behave.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>

#include "module.h"
#include "wia2.h"
#include "wia_published.h"

namespace {

std::string Text(const GUID& value) {
  wchar_t wide[40] = {};
  StringFromGUID2(value, wide, 40);
  return std::string(wide, wide + wcslen(wide));
}

GUID Parsed(const wchar_t* text) {
  GUID value = GUID_NULL;
  EXPECT_EQ(S_OK, IIDFromString(text, &value)) << "cannot parse the published text";
  return value;
}

struct GuidPair {
  const char* name;
  const GUID& product;
  const GUID& platform;
};

TEST(PlatformValuesTest, TheTestBenchTableParsedAndAgreesWithThePlatformLibrary) {
  ASSERT_EQ(nullptr, published::Ids().unparsed);
  EXPECT_EQ(Text(Parsed(published::PropertyStorageText)), Text(published::Ids().propertyStorage));
}

TEST(PlatformValuesTest, IdentifiersEqualThePublishedOnes) {
  const published::Identifiers& ids = published::Ids();
  // The filter takes IWiaPropertyStorage's identifier from the platform's
  // library, as the table does: both are checked against the published text.
  const GUID propertyStorage = Parsed(published::PropertyStorageText);
  const GuidPair pairs[] = {
      {"IID_IWiaTransferCallback", IID_IWiaTransferCallback, ids.transferCallback},
      {"IID_IWiaImageFilter", IID_IWiaImageFilter, ids.imageFilter},
      {"IID_IWiaItem2", IID_IWiaItem2, ids.item2},
      {"IID_IWiaPropertyStorage", IID_IWiaPropertyStorage, propertyStorage},
      {"first class", CLSID_VantrelFilter, ids.filterFirst},
      {"second class", CLSID_VantrelFilterAlternate, ids.filterSecond},
      {"WIA_CATEGORY_FINISHED_FILE", WIA_CATEGORY_FINISHED_FILE, ids.categoryFinishedFile},
      {"WIA_CATEGORY_FOLDER", WIA_CATEGORY_FOLDER, ids.categoryFolder},
      {"WIA_CATEGORY_ROOT", WIA_CATEGORY_ROOT, ids.categoryRoot},
      {"WiaImgFmt_RAW", WiaImgFmt_RAW, ids.formatRaw},
  };
  for (const GuidPair& pair : pairs) {
    EXPECT_EQ(Text(pair.platform), Text(pair.product)) << pair.name;
  }
}

TEST(PlatformValuesTest, PropertyIdsMessagesAndStatusEqualThePublishedOnes) {
  EXPECT_EQ(published::BrightnessProperty, static_cast<PROPID>(WIA_IPS_BRIGHTNESS));
  EXPECT_EQ(published::ContrastProperty, static_cast<PROPID>(WIA_IPS_CONTRAST));
  EXPECT_EQ(published::ItemCategoryProperty, static_cast<PROPID>(WIA_IPA_ITEM_CATEGORY));
  EXPECT_EQ(published::FormatProperty, static_cast<PROPID>(WIA_IPA_FORMAT));
  EXPECT_EQ(published::MessageStatus, WIA_TRANSFER_MSG_STATUS);
  EXPECT_EQ(published::MessageEndOfStream, WIA_TRANSFER_MSG_END_OF_STREAM);
  EXPECT_EQ(published::MessageEndOfTransfer, WIA_TRANSFER_MSG_END_OF_TRANSFER);
  EXPECT_EQ(published::MessageDeviceStatus, WIA_TRANSFER_MSG_DEVICE_STATUS);
  EXPECT_EQ(published::MessageNewPage, WIA_TRANSFER_MSG_NEW_PAGE);
  EXPECT_EQ(published::StatusSkipItem, WIA_STATUS_SKIP_ITEM);
}

TEST(PlatformValuesTest, TransferParamsHaveThePublishedLayout) {
  EXPECT_EQ(published::TransferParamsMessageOffset, offsetof(WiaTransferParams, lMessage));
  EXPECT_EQ(published::TransferParamsPercentOffset, offsetof(WiaTransferParams, lPercentComplete));
  EXPECT_EQ(published::TransferParamsBytesOffset, offsetof(WiaTransferParams, ulTransferredBytes));
  EXPECT_EQ(published::TransferParamsErrorOffset, offsetof(WiaTransferParams, hrErrorStatus));
  EXPECT_EQ(published::TransferParamsSize, sizeof(WiaTransferParams));
  EXPECT_EQ(8u, sizeof(WiaTransferParams::ulTransferredBytes));
  EXPECT_EQ(4u, sizeof(WiaTransferParams::hrErrorStatus));
}

}  // namespace
