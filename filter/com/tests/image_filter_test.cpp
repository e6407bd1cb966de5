#include "image_filter.h"

#include "adjusted_copy.h"
#include "bstr_holder.h"
#include "fake_application.h"
#include "fake_driver.h"
#include "fake_item.h"
#include "fault_stream.h"
#include "sample_bmp.h"
#include "test_support.h"
#include "wia_published.h"

namespace {

const wchar_t kChildName[] = L"Flatbed";
const wchar_t kChildFullName[] = L"0000\\Root\\Flatbed";

// A filter made as the class factory makes it, a scan item with one child
// item, and the application; every double must be back to its own single
// reference at the end.
class ImageFilterTest : public ModuleCountTest {
 protected:
  void SetUp() override {
    ModuleCountTest::SetUp();
    ImageFilter* filter = new ImageFilter();
    filter->AddRef();
    filter_ = ComRef<ImageFilter>::adopt(filter);
    item_ = ComRef<FakeWiaItem>::adopt(FakeWiaItem::Create(published::Ids().categoryFlatbed));
    child_ = ComRef<FakeWiaItem>::adopt(FakeWiaItem::Create(published::Ids().categoryFlatbed));
    child_->SetGuid(published::FormatProperty, published::Ids().formatBmp);
    item_->AddChild(kChildFullName, child_.get());
    application_ = ComRef<FakeApplication>::adopt(FakeApplication::Create());
  }
  void TearDown() override {
    filter_.reset();
    item_->ClearChildren();
    EXPECT_EQ(1, item_->Refs());
    EXPECT_EQ(1, child_->Refs());
    EXPECT_EQ(1, application_->Refs());
    for (const ReceivedPage& page : application_->Pages()) {
      EXPECT_EQ(1u, RefCountOf(page.stream.get()));
    }
    ModuleCountTest::TearDown();
  }

  void Initialize() { ASSERT_EQ(S_OK, filter_->InitializeFilter(item_.get(), application_.get())); }
  void SetAdjustments(LONG brightness, LONG contrast) {
    child_->SetLong(published::BrightnessProperty, brightness);
    child_->SetLong(published::ContrastProperty, contrast);
  }
  HRESULT NextStream(IStream** stream, LONG flags = 0) {
    BstrHolder name(kChildName);
    BstrHolder fullName(kChildFullName);
    return filter_->GetNextStream(flags, name.get(), fullName.get(), stream);
  }
  HRESULT Message(LONG message, ULONG64 bytes) {
    WiaTransferParams params = {message, 50, bytes, S_OK};
    return filter_->TransferCallback(0, &params);
  }
  DriverReport Play(const std::vector<std::vector<BYTE>>& pages, ULONG pieceSize = 4096) {
    std::vector<DriverPage> driverPages;
    for (const auto& bytes : pages) driverPages.push_back({kChildName, kChildFullName, bytes});
    DriverOptions options;
    options.pieceSize = pieceSize;
    return PlayDriver(filter_.get(), driverPages, options);
  }
  // The ulTransferredBytes of every end-of-stream message the application got.
  std::vector<ULONG64> EndOfStreamCounts() const {
    std::vector<ULONG64> counts;
    for (const ReceivedMessage& m : application_->Messages()) {
      if (m.params.lMessage == published::MessageEndOfStream) {
        counts.push_back(m.params.ulTransferredBytes);
      }
    }
    return counts;
  }

  ComRef<ImageFilter> filter_;
  ComRef<FakeWiaItem> item_;
  ComRef<FakeWiaItem> child_;
  ComRef<FakeApplication> application_;
};

TEST_F(ImageFilterTest, QueryInterfaceGivesOneIdentityForBothInterfaces) {
  IWiaImageFilter* primary = filter_.get();
  IWiaTransferCallback* second = filter_.get();
  ExpectInterfaces(primary,
                   {{&IID_IUnknown, primary},
                    {&published::Ids().imageFilter, primary},
                    {&published::Ids().transferCallback, second}},
                   E_INVALIDARG);
}

TEST_F(ImageFilterTest, InitializeFilterHoldsTheItemAndCallback) {
  EXPECT_EQ(E_INVALIDARG, filter_->InitializeFilter(nullptr, application_.get()));
  EXPECT_EQ(E_INVALIDARG, filter_->InitializeFilter(item_.get(), nullptr));
  Initialize();
  EXPECT_EQ(2, item_->Refs());
  EXPECT_EQ(2, application_->Refs());
  // A second call replaces both without leaking the first.
  Initialize();
  EXPECT_EQ(2, item_->Refs());
  EXPECT_EQ(2, application_->Refs());
}

TEST_F(ImageFilterTest, InitializeFilterReturnsTheCategoryQueryFailure) {
  item_->SetCategoryResult(E_ACCESSDENIED);
  EXPECT_EQ(E_ACCESSDENIED, filter_->InitializeFilter(item_.get(), application_.get()));
  EXPECT_EQ(1, item_->Refs());
}

class RefusedCategoryTest : public ImageFilterTest,
                            public ::testing::WithParamInterface<const GUID*> {};

TEST_P(RefusedCategoryTest, IsRefusedAndThePreviousItemStays) {
  Initialize();
  auto refused = ComRef<FakeWiaItem>::adopt(FakeWiaItem::Create(*GetParam()));
  auto other = ComRef<FakeApplication>::adopt(FakeApplication::Create());
  EXPECT_EQ(E_NOTIMPL, filter_->InitializeFilter(refused.get(), other.get()));
  EXPECT_EQ(1, refused->Refs());
  EXPECT_EQ(1, other->Refs());
  EXPECT_EQ(2, item_->Refs());
  ComRef<IStream> stream;
  EXPECT_EQ(S_OK, NextStream(stream.put()));
  EXPECT_EQ(1, application_->NextStreamCalls());
}

INSTANTIATE_TEST_SUITE_P(Categories, RefusedCategoryTest,
                         ::testing::Values(&published::Ids().categoryRoot,
                                           &published::Ids().categoryFolder,
                                           &published::Ids().categoryFinishedFile));

TEST_F(ImageFilterTest, SetNewCallbackReplacesOnlyTheCallback) {
  EXPECT_EQ(E_INVALIDARG, filter_->SetNewCallback(nullptr));
  Initialize();
  auto other = ComRef<FakeApplication>::adopt(FakeApplication::Create());
  EXPECT_EQ(S_OK, filter_->SetNewCallback(other.get()));
  EXPECT_EQ(1, application_->Refs());
  EXPECT_EQ(2, other->Refs());
  ComRef<IStream> stream;
  EXPECT_EQ(S_OK, NextStream(stream.put()));
  EXPECT_EQ(0, application_->NextStreamCalls());
  EXPECT_EQ(1, other->NextStreamCalls());
  stream.reset();
  filter_.reset();
  EXPECT_EQ(1, other->Refs());
}

// An application that replaces itself from inside its own call: the filter
// lets go of it, but the call it is in keeps a reference of the filter's
// until it returns (beside the test's own).
TEST_F(ImageFilterTest, ApplicationReplacedFromInsideItsCallLivesToTheEndOfTheCall) {
  for (bool inMessage : {false, true}) {
    Initialize();
    auto other = ComRef<FakeApplication>::adopt(FakeApplication::Create());
    ComRef<IStream> stream;
    if (inMessage) ASSERT_EQ(S_OK, NextStream(stream.put()));
    LONG refsInCall = 0;
    application_->DuringCalls([&] {
      filter_->SetNewCallback(other.get());
      refsInCall = application_->Refs();
    });
    EXPECT_EQ(S_OK, inMessage ? Message(published::MessageStatus, 0) : NextStream(stream.put()));
    application_->DuringCalls(nullptr);
    EXPECT_EQ(2, refsInCall) << inMessage;
    EXPECT_EQ(1, application_->Refs()) << inMessage;
  }
}

TEST_F(ImageFilterTest, PreviewAndPropertiesAreNotFiltered) {
  auto stream = MemoryStream();
  const RECT extents = {0, 0, 10, 10};
  EXPECT_EQ(E_INVALIDARG, filter_->FilterPreviewImage(0, child_.get(), extents, stream.get()));
  EXPECT_EQ(E_INVALIDARG, filter_->ApplyProperties(nullptr));
  EXPECT_EQ(S_OK, filter_->ApplyProperties(child_.get()));
  EXPECT_TRUE(child_->PropertiesRead().empty());
}

TEST_F(ImageFilterTest, TransferCallsBeforeInitializeAreUnexpected) {
  IStream* stream = reinterpret_cast<IStream*>(1);
  EXPECT_EQ(E_UNEXPECTED, NextStream(&stream));
  EXPECT_EQ(nullptr, stream);
  EXPECT_EQ(E_UNEXPECTED, Message(published::MessageStatus, 10));
  EXPECT_EQ(E_INVALIDARG, filter_->TransferCallback(0, nullptr));
}

TEST_F(ImageFilterTest, NextStreamWithCallbackButNoItemIsUnexpected) {
  ASSERT_EQ(S_OK, filter_->SetNewCallback(application_.get()));
  ComRef<IStream> stream;
  EXPECT_EQ(E_UNEXPECTED, NextStream(stream.put()));
  EXPECT_EQ(0, application_->NextStreamCalls());
}

TEST_F(ImageFilterTest, NextStreamRejectsNullArguments) {
  Initialize();
  BstrHolder name(kChildName);
  ComRef<IStream> stream;
  EXPECT_EQ(E_INVALIDARG, filter_->GetNextStream(0, nullptr, name.get(), stream.put()));
  EXPECT_EQ(E_INVALIDARG, filter_->GetNextStream(0, name.get(), nullptr, stream.put()));
  EXPECT_EQ(E_INVALIDARG, filter_->GetNextStream(0, name.get(), name.get(), nullptr));
  EXPECT_EQ(0, application_->NextStreamCalls());
}

TEST_F(ImageFilterTest, ApplicationIsAskedWithFlagsZeroAndPropertiesAreReadInOrder) {
  Initialize();
  ComRef<IStream> stream;
  ASSERT_EQ(S_OK, NextStream(stream.put(), 0x40));
  EXPECT_EQ(std::vector<LONG>{0}, application_->NextStreamFlags());
  const std::vector<PROPID> expected = {published::BrightnessProperty, published::ContrastProperty,
                                        published::ItemCategoryProperty, published::FormatProperty};
  EXPECT_EQ(expected, child_->PropertiesRead());
  EXPECT_EQ(3, ModuleLockCount);  // the filter, its current filter stream and the page's room
}

struct SkipCase {
  HRESULT answer;
  bool withStream;
};

class ApplicationSkipTest : public ImageFilterTest,
                            public ::testing::WithParamInterface<SkipCase> {};

TEST_P(ApplicationSkipTest, AnswerIsReturnedAndNothingIsHeld) {
  Initialize();
  application_->AnswerNextStream(1, GetParam().answer, GetParam().withStream);
  ComRef<IStream> first;
  ASSERT_EQ(S_OK, NextStream(first.put()));
  first.reset();
  EXPECT_EQ(3, ModuleLockCount);  // the filter, the first page's filter stream and room

  IStream* second = reinterpret_cast<IStream*>(1);
  EXPECT_EQ(GetParam().answer, NextStream(&second));
  EXPECT_EQ(nullptr, second);
  EXPECT_EQ(1, ModuleLockCount);  // the first page's stream was dropped
  // A stream handed out with the answer was released by the filter: only the
  // application's own reference is left (checked in TearDown).
  EXPECT_EQ(GetParam().withStream ? 2u : 1u, application_->Pages().size());
}

INSTANTIATE_TEST_SUITE_P(Answers, ApplicationSkipTest,
                         ::testing::Values(SkipCase{S_FALSE, false}, SkipCase{S_FALSE, true},
                                           SkipCase{published::StatusSkipItem, false},
                                           SkipCase{published::StatusSkipItem, true},
                                           SkipCase{E_ABORT, true}));

TEST_F(ImageFilterTest, ApplicationFailureAndMissingStreamAreReported) {
  Initialize();
  application_->AnswerNextStream(0, E_OUTOFMEMORY, false);
  ComRef<IStream> stream;
  EXPECT_EQ(E_OUTOFMEMORY, NextStream(stream.put()));
  application_->AnswerNextStream(1, S_OK, false);
  EXPECT_EQ(E_UNEXPECTED, NextStream(stream.put()));
  EXPECT_FALSE(stream);
}

TEST_F(ImageFilterTest, ChildLookupFailuresAreReturnedAndReleaseTheStream) {
  Initialize();
  ComRef<IStream> stream;
  item_->SetFindResult(E_ACCESSDENIED);
  EXPECT_EQ(E_ACCESSDENIED, NextStream(stream.put()));
  item_->SetFindResult(S_OK);
  child_->SetStorageQueryResult(E_NOINTERFACE);
  EXPECT_EQ(E_NOINTERFACE, NextStream(stream.put()));
  // A child that cannot be found (S_FALSE without an item) is not used.
  item_->ClearChildren();
  EXPECT_EQ(E_UNEXPECTED, NextStream(stream.put()));
  EXPECT_FALSE(stream);
  EXPECT_EQ(3u, application_->Pages().size());
  EXPECT_EQ(1, ModuleLockCount);
}

TEST_F(ImageFilterTest, FolderChildGetsTheApplicationStreamItself) {
  child_->SetGuid(published::ItemCategoryProperty, published::Ids().categoryFolder);
  SetAdjustments(200, 0);
  Initialize();
  ComRef<IStream> stream;
  ASSERT_EQ(S_OK, NextStream(stream.put()));
  ASSERT_EQ(1u, application_->Pages().size());
  EXPECT_EQ(application_->Pages()[0].stream.get(), stream.get());
  EXPECT_EQ(1, ModuleLockCount);  // no filter stream
}

TEST_F(ImageFilterTest, RawFormatIsPassedThroughWithTheDriversCounts) {
  child_->SetGuid(published::FormatProperty, published::Ids().formatRaw);
  SetAdjustments(200, 0);
  Initialize();
  const std::vector<BYTE> page = MakeSampleBmp(40, 30, 8);
  const DriverReport report = Play({page}, 1000);
  EXPECT_EQ(S_OK, report.result);
  EXPECT_EQ(page, application_->PageBytes(0));
  ULONG64 expected = 0;
  for (const ReceivedMessage& m : application_->Messages()) {
    if (m.params.lMessage == published::MessageStatus) {
      expected = std::min<ULONG64>(expected + 1000, page.size());
      EXPECT_EQ(expected, m.params.ulTransferredBytes);
    }
  }
  EXPECT_EQ(std::vector<ULONG64>{page.size()}, EndOfStreamCounts());
}

TEST_F(ImageFilterTest, CategoryOfAnotherTypeIsIgnored) {
  PROPVARIANT notAGuid;
  PropVariantInit(&notAGuid);
  notAGuid.vt = VT_I4;
  notAGuid.lVal = 0x1234;
  child_->SetVariant(published::ItemCategoryProperty, notAGuid);
  child_->SetVariant(published::FormatProperty, notAGuid);
  SetAdjustments(200, 0);
  Initialize();
  const std::vector<BYTE> page = MakeSampleBmp(16, 16, 8);
  Play({page});
  EXPECT_EQ(AdjustedCopy(200, 0, page), application_->PageBytes(0));
}

TEST_F(ImageFilterTest, UnadjustedPageIsCountedAndWrittenStraightThrough) {
  SetAdjustments(0, 0);
  Initialize();
  const std::vector<BYTE> page = MakeSampleBmp(50, 20, 24);
  ComRef<IStream> stream;
  ASSERT_EQ(S_OK, NextStream(stream.put()));
  EXPECT_NE(application_->Pages()[0].stream.get(), stream.get());
  ASSERT_EQ(S_OK, WriteAll(stream.get(), page));
  EXPECT_EQ(page, application_->PageBytes(0));
  EXPECT_EQ(S_OK, Message(published::MessageStatus, 1));
  EXPECT_EQ(S_OK, Message(published::MessageEndOfStream, 1));
  EXPECT_EQ(std::vector<ULONG64>{page.size()}, EndOfStreamCounts());
  EXPECT_EQ(page.size(), application_->Messages()[0].params.ulTransferredBytes);
  EXPECT_EQ(page, application_->PageBytes(0));
}

class AdjustedPageTest : public ImageFilterTest, public ::testing::WithParamInterface<WORD> {};

TEST_P(AdjustedPageTest, ArrivesAdjustedWithItsFileSize) {
  SetAdjustments(200, 0);
  Initialize();
  const std::vector<BYTE> page = MakeSampleBmp(45, 31, GetParam());
  const DriverReport report = Play({page}, 500);
  EXPECT_EQ(S_OK, report.result);
  const std::vector<BYTE> received = application_->PageBytes(0);
  EXPECT_EQ(AdjustedCopy(200, 0, page), received);
  EXPECT_EQ(std::vector<ULONG64>{received.size()}, EndOfStreamCounts());
  // Progress counts the bytes written so far into the filter stream.
  EXPECT_EQ(std::min<ULONG64>(500, page.size()),
            application_->Messages()[0].params.ulTransferredBytes);
}

INSTANTIATE_TEST_SUITE_P(Depths, AdjustedPageTest, ::testing::Values(1, 8, 24));

TEST_F(ImageFilterTest, EveryPageOfATransferIsAdjusted) {
  SetAdjustments(-200, 300);
  Initialize();
  const std::vector<BYTE> grey = MakeSampleBmp(20, 20, 8);
  const std::vector<BYTE> colour = MakeSampleBmp(21, 13, 24);
  Play({grey, colour, grey});
  ASSERT_EQ(3u, application_->Pages().size());
  EXPECT_EQ(AdjustedCopy(-200, 300, grey), application_->PageBytes(0));
  EXPECT_EQ(AdjustedCopy(-200, 300, colour), application_->PageBytes(1));
  EXPECT_EQ(AdjustedCopy(-200, 300, grey), application_->PageBytes(2));
  const std::vector<ULONG64> expected = {application_->PageBytes(0).size(),
                                         application_->PageBytes(1).size(),
                                         application_->PageBytes(2).size()};
  EXPECT_EQ(expected, EndOfStreamCounts());
  EXPECT_EQ(published::MessageEndOfTransfer, application_->Messages().back().params.lMessage);
}

TEST_F(ImageFilterTest, CancelFromProgressLatchesUntilTheNextInitialize) {
  SetAdjustments(200, 0);
  Initialize();
  const std::vector<BYTE> page = MakeSampleBmp(30, 30, 8);
  application_->AnswerMessage(0, S_FALSE);
  Play({page, page}, 1 << 20);
  // One progress and one end-of-stream message per page, then end of transfer.
  ASSERT_EQ(5u, application_->Messages().size());
  EXPECT_EQ(2u, EndOfStreamCounts().size());
  EXPECT_TRUE(application_->PageBytes(0).empty());
  EXPECT_TRUE(application_->PageBytes(1).empty());

  EXPECT_EQ(E_INVALIDARG, filter_->InitializeFilter(nullptr, nullptr));
  Play({page});
  EXPECT_EQ(AdjustedCopy(200, 0, page), application_->PageBytes(2));
}

TEST_F(ImageFilterTest, FailedAdjustmentOverridesTheApplicationsAnswer) {
  SetAdjustments(200, 0);
  Initialize();
  ComRef<IStream> stream;
  ASSERT_EQ(S_OK, NextStream(stream.put()));
  ASSERT_EQ(S_OK, WriteAll(stream.get(), std::vector<BYTE>(30, 0)));  // not a BMP
  const HRESULT hr = Message(published::MessageEndOfStream, 30);
  EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
  ASSERT_EQ(1u, application_->Messages().size());
  EXPECT_EQ(S_OK, application_->Messages()[0].answer);
  stream.reset();

  // The latch is set: the next page is dropped unadjusted.
  const std::vector<BYTE> page = MakeSampleBmp(10, 10, 8);
  Play({page});
  EXPECT_TRUE(application_->PageBytes(1).empty());
}

TEST_F(ImageFilterTest, FailedAdjustmentIsTheErrorStatusOfTheApplicationsEndOfStream) {
  SetAdjustments(200, 0);
  for (HRESULT driverStatus : {S_OK, S_FALSE, STG_E_WRITEFAULT}) {
    Initialize();  // clears the latch
    ComRef<IStream> stream;
    ASSERT_EQ(S_OK, NextStream(stream.put()));
    ASSERT_EQ(S_OK, WriteAll(stream.get(), std::vector<BYTE>(30, 0)));  // not a BMP
    WiaTransferParams params = {WIA_TRANSFER_MSG_END_OF_STREAM, 100, 30, driverStatus};
    const HRESULT hr = filter_->TransferCallback(0, &params);
    ASSERT_TRUE(FAILED(hr)) << std::hex << hr;
    // A failure the driver reported itself stays; a success of any kind is
    // no failure of its own.
    const WiaTransferParams& received = application_->Messages().back().params;
    EXPECT_EQ(FAILED(driverStatus) ? driverStatus : hr, received.hrErrorStatus);
    // The page was refused before anything was written into the application's stream.
    EXPECT_EQ(0u, received.ulTransferredBytes) << std::hex << driverStatus;
    EXPECT_TRUE(application_->PageBytes(application_->Pages().size() - 1).empty());
  }
}

TEST_F(ImageFilterTest, AdjustmentFailingPartWayReportsWhatTheApplicationReceived) {
  SetAdjustments(200, 0);
  Initialize();
  // The grey writer writes the file header, the info header and the palette,
  // then one row at a time: the first row fails.
  application_->FailStreamWrite(3, STG_E_MEDIUMFULL);
  const DriverReport report = Play({MakeSampleBmp(10, 10, 8)});
  ASSERT_EQ(3u, report.answers.size());  // progress, end of stream, end of transfer
  EXPECT_EQ(STG_E_MEDIUMFULL, report.answers[1]);
  const std::vector<BYTE> received = application_->PageBytes(0);
  EXPECT_EQ(14u + 40 + 1024, received.size());
  EXPECT_EQ(std::vector<ULONG64>{received.size()}, EndOfStreamCounts());
  EXPECT_EQ(STG_E_MEDIUMFULL, application_->Messages()[1].params.hrErrorStatus);
}

// Whatever way the page reached the application (adjusted or not, through
// the filter stream or a clone of it), the end of the page says what the
// application's stream holds, and whether the page failed.
TEST_F(ImageFilterTest, EndOfStreamTellsWhatTheApplicationHolds) {
  struct Case {
    LONG brightness;
    bool throughClone;
    int failingWrite;  // of the application's stream; -1 for none
    HRESULT answer;
    ULONG kept;
    HRESULT status;  // the end of the page's hrErrorStatus
  };
  const Case cases[] = {
      {200, false, -1, S_OK, 0, S_OK},
      // The palette taken in part but answered S_OK: the rest is written too.
      {200, false, 2, S_OK, 1000, S_OK},
      {200, false, 3, STG_E_MEDIUMFULL, 100, STG_E_MEDIUMFULL},
      {200, true, -1, S_OK, 0, S_OK},
      {200, true, 3, STG_E_MEDIUMFULL, 0, STG_E_MEDIUMFULL},
      {0, false, 1, STG_E_MEDIUMFULL, 300, STG_E_MEDIUMFULL},
      {0, false, 1, STG_E_MEDIUMFULL, 0, STG_E_MEDIUMFULL},
      {0, true, -1, S_OK, 0, S_OK},
  };
  const std::vector<BYTE> page = MakeSampleBmp(40, 25, 8);
  SetAdjustments(0, 0);
  Initialize();
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.brightness << (c.throughClone ? " clone" : "")
                                      << " write " << c.failingWrite << " keeps " << c.kept);
    ASSERT_EQ(S_OK, filter_->InitializeFilter(item_.get(), application_.get()));  // no latch
    SetAdjustments(c.brightness, 0);
    application_->FailStreamWrite(c.failingWrite, c.answer, c.kept);
    ComRef<IStream> stream;
    ASSERT_EQ(S_OK, NextStream(stream.put()));
    ComRef<IStream> target;
    if (c.throughClone) {
      ASSERT_EQ(S_OK, stream->Clone(target.put()));
    } else {
      target = ComRef<IStream>::copy(stream.get());
    }
    // The driver writes 500-byte pieces and stops at a failure.
    for (size_t at = 0; at < page.size(); at += 500) {
      ULONG written = 0;
      const ULONG piece = static_cast<ULONG>(std::min<size_t>(500, page.size() - at));
      if (FAILED(target->Write(page.data() + at, piece, &written))) break;
    }
    target.reset();
    stream.reset();
    // Told of the page's end, the application finds its stream as it stays.
    STATSTG told = {};
    application_->DuringCalls(
        [&] { application_->Pages().back().stream->Stat(&told, STATFLAG_NONAME); });
    const HRESULT hr = Message(published::MessageEndOfStream, page.size());
    application_->DuringCalls(nullptr);
    const std::vector<BYTE> received = application_->PageBytes(application_->Pages().size() - 1);
    EXPECT_EQ(received.size(), told.cbSize.QuadPart);
    EXPECT_EQ(received.size(), EndOfStreamCounts().back());
    EXPECT_EQ(c.status, application_->Messages().back().params.hrErrorStatus);
    EXPECT_EQ(c.status, hr);
    if (SUCCEEDED(c.status)) {
      EXPECT_EQ(c.brightness ? AdjustedCopy(c.brightness, 0, page) : page, received);
    }
  }
}

TEST_F(ImageFilterTest, WhileLatchedADroppedPageIsReportedAsZeroBytes) {
  Initialize();
  application_->AnswerMessage(0, S_FALSE);  // cancels at the first progress message
  const std::vector<BYTE> page = MakeSampleBmp(30, 30, 8);
  SetAdjustments(200, 0);
  const DriverReport dropped = Play({page}, 1 << 20);  // buffered, and dropped at its end
  SetAdjustments(0, 0);
  const DriverReport straight = Play({page}, 1 << 20);  // written into the application's stream
  EXPECT_TRUE(application_->PageBytes(0).empty());
  EXPECT_EQ(page, application_->PageBytes(1));
  EXPECT_EQ((std::vector<ULONG64>{0, page.size()}), EndOfStreamCounts());
  // The dropped page ends as an aborted one, for the application and the
  // driver alike; the page that arrived whole ends as the driver said.
  ASSERT_EQ(3u, dropped.answers.size());
  EXPECT_EQ(E_ABORT, dropped.answers[1]);
  ASSERT_EQ(3u, straight.answers.size());
  EXPECT_EQ(S_OK, straight.answers[1]);
  ASSERT_EQ(6u, application_->Messages().size());
  EXPECT_EQ(E_ABORT, application_->Messages()[1].params.hrErrorStatus);
  EXPECT_EQ(S_OK, application_->Messages()[4].params.hrErrorStatus);
}

TEST_F(ImageFilterTest, ApplicationFailureIsReturnedAndLatches) {
  SetAdjustments(200, 0);
  Initialize();
  application_->AnswerMessage(1, E_ABORT);
  const std::vector<BYTE> page = MakeSampleBmp(10, 10, 8);
  const DriverReport report = Play({page, page}, 1 << 20);
  ASSERT_GE(report.answers.size(), 2u);
  EXPECT_EQ(E_ABORT, report.answers[1]);
  // The first page was adjusted before the application failed its end of stream.
  EXPECT_EQ(AdjustedCopy(200, 0, page), application_->PageBytes(0));
  EXPECT_TRUE(application_->PageBytes(1).empty());
}

TEST_F(ImageFilterTest, AbandonedTransferReleasesTheCurrentStreamWithTheFilter) {
  SetAdjustments(200, 0);
  Initialize();
  ComRef<IStream> stream;
  ASSERT_EQ(S_OK, NextStream(stream.put()));
  ASSERT_EQ(S_OK, WriteAll(stream.get(), std::vector<BYTE>(100, 1)));
  EXPECT_EQ(3, ModuleLockCount);  // the filter, its stream and the page's buffer
  filter_.reset();
  EXPECT_EQ(2, ModuleLockCount);  // the driver still holds the filter stream
  EXPECT_EQ(1, item_->Refs());
  stream.reset();
  EXPECT_EQ(0, ModuleLockCount);
  EXPECT_TRUE(application_->PageBytes(0).empty());
}

TEST_F(ImageFilterTest, DriverReleasingLateKeepsCountsRight) {
  SetAdjustments(0, 100);
  Initialize();
  ComRef<IStream> stream;
  ASSERT_EQ(S_OK, NextStream(stream.put()));
  const std::vector<BYTE> page = MakeSampleBmp(12, 12, 24);
  ASSERT_EQ(S_OK, WriteAll(stream.get(), page));
  EXPECT_EQ(S_OK, Message(published::MessageEndOfStream, page.size()));
  EXPECT_EQ(2, ModuleLockCount);  // the driver's reference keeps the stream alive
  BYTE byte = 0;
  EXPECT_EQ(E_POINTER, stream->Write(&byte, 1, nullptr));
  stream.reset();
  EXPECT_EQ(1, ModuleLockCount);
}

// The property readers.

class PropertyReaderTest : public ModuleCountTest {
 protected:
  void SetUp() override {
    ModuleCountTest::SetUp();
    item_ = ComRef<FakeWiaItem>::adopt(FakeWiaItem::Create(published::Ids().categoryFlatbed));
  }
  void TearDown() override {
    EXPECT_EQ(1, item_->Refs());
    ModuleCountTest::TearDown();
  }
  ComRef<FakeWiaItem> item_;
};

TEST_F(PropertyReaderTest, LongPropertyReadsTheValueOrZero) {
  LONG value = 99;
  item_->SetLong(published::BrightnessProperty, -250);
  EXPECT_EQ(S_OK, ReadLongProperty(published::BrightnessProperty, item_.get(), &value));
  EXPECT_EQ(-250, value);
  value = 99;
  EXPECT_EQ(S_FALSE, ReadLongProperty(published::ContrastProperty, item_.get(), &value));
  EXPECT_EQ(0, value);
  // A value of another type is not taken for a number.
  value = 99;
  EXPECT_EQ(S_OK, ReadLongProperty(published::ItemCategoryProperty, item_.get(), &value));
  EXPECT_EQ(0, value);
}

TEST_F(PropertyReaderTest, GuidPropertyIsTakenOnlyFromAClsidVariant) {
  GUID value = published::Ids().formatBmp;
  EXPECT_EQ(E_INVALIDARG, ReadGuidProperty(published::FormatProperty, item_.get(), nullptr));
  EXPECT_EQ(E_INVALIDARG, ReadGuidProperty(published::FormatProperty, nullptr, &value));
  EXPECT_EQ(S_OK, ReadGuidProperty(published::ItemCategoryProperty, item_.get(), &value));
  EXPECT_TRUE(IsEqualGUID(published::Ids().categoryFlatbed, value));

  value = published::Ids().formatBmp;
  EXPECT_EQ(S_FALSE, ReadGuidProperty(published::FormatProperty, item_.get(), &value));
  EXPECT_TRUE(IsEqualGUID(published::Ids().formatBmp, value));

  item_->SetLong(published::FormatProperty, 7);
  EXPECT_EQ(S_OK, ReadGuidProperty(published::FormatProperty, item_.get(), &value));
  EXPECT_TRUE(IsEqualGUID(published::Ids().formatBmp, value));
}

}  // namespace
