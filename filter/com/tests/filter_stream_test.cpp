#include "filter_stream.h"

#include <shlwapi.h>

#include <algorithm>
#include <functional>
#include <string>

#include "adjusted_copy.h"
#include "fault_stream.h"
#include "sample_bmp.h"
#include "test_support.h"

namespace {

// A filter stream owned by the test (its first reference).
ComRef<ZelFilterStream> NewFilterStream() {
  return ComRef<ZelFilterStream>::adopt(new ZelFilterStream());
}

std::vector<BYTE> Bytes(size_t count, BYTE value) { return std::vector<BYTE>(count, value); }

class FilterStreamTest : public ModuleCountTest {
 protected:
  void SetUp() override {
    ModuleCountTest::SetUp();
    application_ = FaultStream::Create();
    ASSERT_TRUE(application_);
  }
  void TearDown() override {
    EXPECT_EQ(1, application_->Refs());
    application_.reset();
    ModuleCountTest::TearDown();
  }
  ComRef<FaultStream> application_;
};

TEST_F(FilterStreamTest, ConstructionAndFinalReleaseMoveTheModuleCountByOne) {
  ZelFilterStream* stream = new ZelFilterStream();
  EXPECT_EQ(1, ModuleLockCount);
  EXPECT_EQ(2u, stream->AddRef());
  EXPECT_EQ(1u, stream->Release());
  EXPECT_EQ(1, ModuleLockCount);
  EXPECT_EQ(0u, stream->Release());
  EXPECT_EQ(0, ModuleLockCount);
}

TEST_F(FilterStreamTest, WithoutAdjustmentsWritesLandInTheApplicationStreamAndAreCounted) {
  auto stream = NewFilterStream();
  ASSERT_EQ(S_OK, stream->Initialize(0, 0, application_.get()));
  EXPECT_FALSE(stream->HasAdjustments());
  EXPECT_EQ(2, application_->Refs());
  ASSERT_EQ(S_OK, WriteAll(stream.get(), Bytes(300, 7)));
  EXPECT_EQ(Bytes(300, 7), application_->Contents());
  EXPECT_EQ(300u, stream->ByteCount());

  EXPECT_EQ(S_OK, stream->ApplyAdjustments());
  EXPECT_EQ(Bytes(300, 7), application_->Contents());
  EXPECT_EQ(300u, stream->ByteCount());
  EXPECT_EQ(1, application_->Calls(StreamCall::Write));
}

class FilterStreamAdjustmentTest : public FilterStreamTest,
                                   public ::testing::WithParamInterface<std::pair<LONG, LONG>> {};

TEST_P(FilterStreamAdjustmentTest, PageIsBufferedUntilTheApplyStepWritesTheAdjustedFile) {
  const LONG brightness = GetParam().first;
  const LONG contrast = GetParam().second;
  const std::vector<BYTE> page = MakeSampleBmp(33, 17, 8);
  auto stream = NewFilterStream();
  ASSERT_EQ(S_OK, stream->Initialize(brightness, contrast, application_.get()));
  EXPECT_TRUE(stream->HasAdjustments());
  ASSERT_EQ(S_OK, WriteAll(stream.get(), page));
  EXPECT_TRUE(application_->Contents().empty());
  EXPECT_EQ(page.size(), stream->ByteCount());

  ASSERT_EQ(S_OK, stream->ApplyAdjustments());
  const std::vector<BYTE> received = application_->Contents();
  EXPECT_EQ(received.size(), stream->ByteCount());

  // The same adjustment made directly gives the same file.
  EXPECT_EQ(AdjustedCopy(brightness, contrast, page), received);
}

INSTANTIATE_TEST_SUITE_P(BrightnessOrContrast, FilterStreamAdjustmentTest,
                         ::testing::Values(std::make_pair(200L, 0L), std::make_pair(0L, -300L),
                                           std::make_pair(-150L, 250L)));

// The one write policy, on a page written straight into the application's
// stream: the count is what the stream took (never more than was offered), a
// write the stream takes in part while answering success is finished, with
// or without a count pointer, one that takes nothing fails with
// STG_E_MEDIUMFULL, and one that fails part-way took what it reports. A
// page not taken whole is not complete, which the apply step reports.
TEST_F(FilterStreamTest, CountsWhatTheStreamTookAndFinishesShortWrites) {
  struct Case {
    const char* stream;
    std::function<void(FaultStream*)> misbehave;
    HRESULT answer;  // to the second write, 99 bytes offered
    ULONG told;      // the count it gives back
    ULONG64 count;   // all four writes: 14 + 99 + 40 + 1000
    HRESULT applied;
  };
  const Case cases[] = {
      {"fails taking nothing",
       [](FaultStream* s) { s->Fail(StreamCall::Write, 2, STG_E_MEDIUMFULL); }, STG_E_MEDIUMFULL, 0,
       1054, STG_E_MEDIUMFULL},
      {"fails taking 30",
       [](FaultStream* s) { s->Fail(StreamCall::Write, 2, STG_E_MEDIUMFULL, 30); },
       STG_E_MEDIUMFULL, 30, 1084, STG_E_MEDIUMFULL},
      {"succeeds taking 30", [](FaultStream* s) { s->Fail(StreamCall::Write, 2, S_OK, 30); }, S_OK,
       99, 1153, S_OK},
      {"succeeds taking nothing", [](FaultStream* s) { s->Fail(StreamCall::Write, 2, S_OK); },
       STG_E_MEDIUMFULL, 0, 1054, STG_E_MEDIUMFULL},
      {"takes at most 100 bytes a call", [](FaultStream* s) { s->TakeAtMost(100); }, S_OK, 99, 1153,
       S_OK},
      {"reports a byte more than it took", [](FaultStream* s) { s->OverReport(1); }, S_OK, 99, 1153,
       S_OK},
  };
  for (const Case& c : cases) {
    application_ = FaultStream::Create();
    c.misbehave(application_.get());
    auto stream = NewFilterStream();
    ASSERT_EQ(S_OK, stream->Initialize(0, 0, application_.get()));
    ULONG written = 0;
    EXPECT_EQ(S_OK, stream->Write(Bytes(14, 1).data(), 14, &written)) << c.stream;
    EXPECT_EQ(c.answer, stream->Write(Bytes(99, 2).data(), 99, &written)) << c.stream;
    EXPECT_EQ(c.told, written) << c.stream;
    EXPECT_EQ(S_OK, stream->Write(Bytes(40, 3).data(), 40, &written)) << c.stream;
    EXPECT_EQ(S_OK, stream->Write(Bytes(1000, 4).data(), 1000, nullptr)) << c.stream;
    EXPECT_EQ(c.count, stream->ByteCount()) << c.stream;
    EXPECT_EQ(c.count, application_->Contents().size()) << c.stream;
    EXPECT_EQ(c.applied, stream->ApplyAdjustments()) << c.stream;
  }
}

// A clone has a position of its own, but its writes are the page's: counted,
// and a failure among them keeps the page from being adjusted.
TEST_F(FilterStreamTest, ClonesWriteIntoThePageThroughTheFilterStream) {
  const std::vector<BYTE> page = MakeSampleBmp(33, 17, 8);
  for (LONG brightness : {0L, 200L}) {
    application_ = FaultStream::Create();
    auto stream = NewFilterStream();
    ASSERT_EQ(S_OK, stream->Initialize(brightness, 0, application_.get()));
    ComRef<IStream> clone, second;
    ASSERT_EQ(S_OK, stream->Clone(clone.put()));
    ASSERT_EQ(S_OK, clone->Clone(second.put()));
    ASSERT_EQ(S_OK, WriteAll(clone.get(), page));
    EXPECT_EQ(page.size(), stream->ByteCount()) << brightness;
    ULONG written = 77;
    const HRESULT refused = brightness ? STG_E_MEDIUMFULL : S_OK;
    // A piece that would take the page past 4 GB, refused before its bytes
    // are read.
    const LARGE_INTEGER zero = {};
    ASSERT_EQ(S_OK, second->Seek(zero, STREAM_SEEK_END, nullptr));
    if (brightness) EXPECT_EQ(refused, second->Write(page.data(), 0xFFFFFFFFu, &written));
    ASSERT_EQ(refused, stream->ApplyAdjustments()) << brightness;
    if (!brightness) EXPECT_EQ(page, application_->Contents());
    if (brightness) EXPECT_TRUE(application_->Contents().empty());
    stream->ReleaseStreams();
    BYTE buffer[4] = {};
    EXPECT_EQ(E_POINTER, clone->Write(buffer, 4, &written));
    EXPECT_EQ(E_POINTER, second->Read(buffer, 4, &written));
    // What the application received of the page.
    EXPECT_EQ(brightness ? 0u : page.size(), stream->ByteCount());
  }
}

// An adjusted page reaches every kind of application's stream alike: the
// platform's memory stream, a file, a stream that refuses SetSize and one
// whose SetSize moves its position get the same bytes and the same count; a
// memory stream is grown once, never row by row (it copies its whole block
// each time a write passes its end).
TEST_F(FilterStreamTest, EveryKindOfApplicationStreamGetsTheSamePage) {
  wchar_t folder[MAX_PATH] = {};
  ASSERT_NE(0u, GetTempPathW(MAX_PATH, folder));
  const std::wstring path =
      std::wstring(folder) + L"vantrel-page-" + std::to_wstring(GetCurrentProcessId()) + L".bmp";
  for (WORD bits : {WORD(8), WORD(24)}) {
    const std::vector<BYTE> page = MakeSampleBmp(301, 97, bits);
    const std::vector<BYTE> expected = AdjustedCopy(200, 0, page);
    ComRef<FaultStream> memory = FaultStream::Create();
    ComRef<FaultStream> refusing = FaultStream::Create();
    refusing->Fail(StreamCall::SetSize, FaultStream::kEveryCall, E_NOTIMPL);
    ComRef<FaultStream> moving = FaultStream::Create();
    moving->MoveOnSetSize();
    ComRef<IStream> file;
    ASSERT_EQ(S_OK, SHCreateStreamOnFileEx(path.c_str(), STGM_CREATE | STGM_READWRITE,
                                           FILE_ATTRIBUTE_NORMAL, TRUE, nullptr, file.put()));
    for (IStream* destination :
         {static_cast<IStream*>(memory.get()), static_cast<IStream*>(refusing.get()),
          static_cast<IStream*>(moving.get()), file.get()}) {
      auto stream = NewFilterStream();
      ASSERT_EQ(S_OK, stream->Initialize(200, 0, destination));
      ASSERT_EQ(S_OK, WriteAll(stream.get(), page));
      ASSERT_EQ(S_OK, stream->ApplyAdjustments()) << bits;
      EXPECT_EQ(expected.size(), stream->ByteCount()) << bits;
      EXPECT_EQ(expected, FaultStream::StreamBytes(destination)) << bits;
    }
    EXPECT_EQ(0, memory->Growths()) << bits;
    EXPECT_GT(refusing->Growths(), 97) << bits;
  }
  DeleteFileW(path.c_str());
}

// A page written straight into the application's stream gets room there in
// one step, so that a memory stream does not grow by copying itself at every
// piece: sized from the info header, only when bfSize agrees and the height
// is not 0, only at a known position, and the stream put back where the write
// ended. The driver sees only what it wrote (size, an end-relative seek, what
// it reads or copies), its own SetSize takes the room away, and a page that
// ends short leaves the stream as it would be without the room, however it
// ends: at its end, on a failed write, or with the stream released.
TEST_F(FilterStreamTest, PageWrittenStraightThroughGetsRoomTheDriverDoesNotSee) {
  const std::vector<BYTE> page = MakeSampleBmp(101, 40, 24);
  enum class End { Whole, Short, FailedWrite, Released };
  enum Twist { kNone, kMoves, kLyingSize, kNoHeight, kNoSeek, kOutOfOrder, kResized, kOverReports };
  struct Case {
    End end;
    size_t old;  // bytes the application's stream held before
    Twist twist;
    bool room;
  };
  for (const Case& c :
       {Case{End::Whole, 0, kNone, true}, Case{End::Short, 0, kNone, true},
        Case{End::Short, 5000, kNone, true}, Case{End::Short, 20000, kNone, false},
        Case{End::FailedWrite, 0, kNone, true}, Case{End::Released, 3000, kNone, true},
        Case{End::Whole, 0, kMoves, true}, Case{End::Short, 0, kMoves, true},
        Case{End::Short, 5000, kMoves, true}, Case{End::Whole, 0, kLyingSize, false},
        Case{End::Whole, 0, kNoHeight, false}, Case{End::Whole, 0, kNoSeek, false},
        Case{End::Whole, 0, kOutOfOrder, true}, Case{End::Short, 0, kResized, true},
        Case{End::Whole, 0, kOverReports, true}}) {
    const std::string name = std::to_string(static_cast<int>(c.end)) + ", " +
                             std::to_string(c.old) + ", twist " + std::to_string(c.twist);
    std::vector<BYTE> bytes = page;
    if (c.twist == kLyingSize) *reinterpret_cast<DWORD*>(&bytes[2]) = 0xFFFFFF00u;
    if (c.twist == kNoHeight) *reinterpret_cast<LONG*>(&bytes[22]) = 0;
    application_ = FaultStream::Create(std::vector<BYTE>(c.old, 0xAB));
    if (c.end == End::FailedWrite) application_->Fail(StreamCall::Write, 40, STG_E_MEDIUMFULL);
    if (c.twist == kMoves) application_->MoveOnSetSize();
    if (c.twist == kNoSeek) application_->Fail(StreamCall::Seek, FaultStream::kEveryCall, E_FAIL);
    if (c.twist == kOverReports) application_->OverReport(1);
    auto stream = NewFilterStream();
    ASSERT_EQ(S_OK, stream->Initialize(0, 0, application_.get()));
    const size_t wanted = c.end == End::Whole ? page.size() : 4000;
    // 100-byte pieces in order; out of order, bytes 20 to 100 (the rest of
    // the headers) come after bytes 100 to 200.
    std::vector<std::pair<size_t, size_t>> pieces;
    for (size_t at = 0; at < wanted; at += 100)
      pieces.push_back({at, std::min<size_t>(100, wanted - at)});
    if (c.twist == kOutOfOrder) {
      pieces[0] = {0, 20};
      pieces.insert(pieces.begin() + 2, {20, 80});
    }
    size_t written = 0, at = 0;
    HRESULT hr = S_OK;
    for (const auto& [from, length] : pieces) {
      LARGE_INTEGER move = {};
      move.QuadPart = static_cast<LONGLONG>(from);
      if (from != at) ASSERT_EQ(S_OK, stream->Seek(move, STREAM_SEEK_SET, nullptr)) << name;
      ULONG taken = 0;
      hr = stream->Write(bytes.data() + from, static_cast<ULONG>(length), &taken);
      written = std::max(written, from + taken);
      at = from + taken;
      if (FAILED(hr)) break;
    }
    EXPECT_EQ(c.end == End::FailedWrite ? STG_E_MEDIUMFULL : S_OK, hr) << name;
    // The room, made once, whatever the pieces.
    STATSTG stat = {};
    ASSERT_EQ(S_OK, application_->Target()->Stat(&stat, STATFLAG_NONAME));
    EXPECT_EQ(std::max(c.old, c.room ? page.size() : written), stat.cbSize.QuadPart) << name;
    EXPECT_EQ(c.room && c.old < page.size() ? 1u : 0u, application_->Calls(StreamCall::SetSize))
        << name;
    ULONGLONG seen = std::max(c.old, written);
    if (c.twist == kResized) {
      ULARGE_INTEGER size = {};
      size.QuadPart = seen = 3000;
      ASSERT_EQ(S_OK, stream->SetSize(size)) << name;
    }
    // What the driver sees.
    if (c.twist != kNoSeek) {
      ASSERT_EQ(S_OK, stream->Stat(&stat, STATFLAG_NONAME));
      EXPECT_EQ(seen, stat.cbSize.QuadPart) << name;
      LARGE_INTEGER back = {};
      back.QuadPart = -10;
      ULARGE_INTEGER position = {}, read = {}, copied = {}, all = {};
      ASSERT_EQ(S_OK, stream->Seek(back, STREAM_SEEK_END, &position));
      EXPECT_EQ(seen - 10, position.QuadPart) << name;
      ComRef<IStream> copy = MemoryStream();
      all.QuadPart = 1000;
      ASSERT_EQ(S_OK, stream->CopyTo(copy.get(), all, &read, &copied));
      EXPECT_EQ(10u, copied.QuadPart) << name;
      BYTE byte = 0;
      ULONG none = 7;
      EXPECT_EQ(S_OK, stream->Read(&byte, 1, &none));
      EXPECT_EQ(0u, none) << name;
      // The driver leaves the stream where its writes ended.
      LARGE_INTEGER end = {};
      end.QuadPart = static_cast<LONGLONG>(written);
      ASSERT_EQ(S_OK, stream->Seek(end, STREAM_SEEK_SET, nullptr)) << name;
    }
    // However the page ends, the stream holds what it would without the room.
    if (c.end == End::Released) {
      stream.reset();
    } else {
      EXPECT_EQ(hr, stream->ApplyAdjustments()) << name;
      stream->ReleaseStreams();
    }
    const std::vector<BYTE> held = application_->Contents();
    EXPECT_EQ(seen, held.size()) << name;
    // ... and stands where the driver left it.
    const LARGE_INTEGER none = {};
    ULARGE_INTEGER position = {};
    application_->Target()->Seek(none, STREAM_SEEK_CUR, &position);
    if (c.twist != kNoSeek) EXPECT_EQ(written, position.QuadPart) << name;
    const size_t kept = std::min<size_t>(written, seen);
    EXPECT_TRUE(held.size() >= kept &&
                std::equal(bytes.begin(), bytes.begin() + kept, held.begin()))
        << name;
  }
}

TEST_F(FilterStreamTest, RewrittenBytesAreCountedAgain) {
  auto stream = NewFilterStream();
  ASSERT_EQ(S_OK, stream->Initialize(0, 0, application_.get()));
  ASSERT_EQ(S_OK, WriteAll(stream.get(), Bytes(100, 5)));
  const LARGE_INTEGER zero = {};
  ULARGE_INTEGER position = {};
  ASSERT_EQ(S_OK, stream->Seek(zero, STREAM_SEEK_SET, &position));
  EXPECT_EQ(0u, position.QuadPart);
  EXPECT_EQ(100u, stream->ByteCount());
  ASSERT_EQ(S_OK, WriteAll(stream.get(), Bytes(100, 6)));
  EXPECT_EQ(200u, stream->ByteCount());
  EXPECT_EQ(Bytes(100, 6), application_->Contents());
}

TEST_F(FilterStreamTest, WriteWithoutCountPointerIsStillCounted) {
  for (LONG brightness : {0L, 200L}) {
    auto stream = NewFilterStream();
    ASSERT_EQ(S_OK, stream->Initialize(brightness, 0, application_.get()));
    EXPECT_EQ(S_OK, stream->Write(Bytes(77, 1).data(), 77, nullptr));
    EXPECT_EQ(S_OK, stream->Write(Bytes(23, 1).data(), 23, nullptr));
    EXPECT_EQ(100u, stream->ByteCount()) << "brightness " << brightness;
  }
}

TEST_F(FilterStreamTest, AfterReleaseStreamsEveryStreamCallFailsWithEPointer) {
  auto stream = NewFilterStream();
  ASSERT_EQ(S_OK, stream->Initialize(200, 0, application_.get()));
  ASSERT_EQ(S_OK, WriteAll(stream.get(), Bytes(10, 1)));
  EXPECT_EQ(S_OK, stream->ReleaseStreams());
  EXPECT_EQ(1, application_->Refs());
  EXPECT_EQ(10u, stream->ByteCount());

  // Every out parameter given is set to its failure value.
  BYTE buffer[4] = {};
  ULONG count = 77;
  const LARGE_INTEGER zero = {};
  const ULARGE_INTEGER none = {};
  ULARGE_INTEGER position = {}, copiedIn = {}, copiedOut = {};
  position.QuadPart = copiedIn.QuadPart = copiedOut.QuadPart = 77;
  STATSTG stat = {};
  stat.cbSize.QuadPart = 77;
  stat.type = STGTY_STREAM;
  IStream* clone = reinterpret_cast<IStream*>(1);
  EXPECT_EQ(E_POINTER, stream->Read(buffer, 4, &count));
  EXPECT_EQ(0u, count);
  count = 77;
  EXPECT_EQ(E_POINTER, stream->Write(buffer, 4, &count));
  EXPECT_EQ(0u, count);
  EXPECT_EQ(E_POINTER, stream->Seek(zero, STREAM_SEEK_SET, &position));
  EXPECT_EQ(0u, position.QuadPart);
  EXPECT_EQ(E_POINTER, stream->Seek(zero, STREAM_SEEK_SET, nullptr));
  EXPECT_EQ(E_POINTER, stream->SetSize(none));
  EXPECT_EQ(E_POINTER, stream->CopyTo(application_.get(), none, &copiedIn, &copiedOut));
  EXPECT_EQ(0u, copiedIn.QuadPart);
  EXPECT_EQ(0u, copiedOut.QuadPart);
  EXPECT_EQ(E_POINTER, stream->CopyTo(application_.get(), none, nullptr, nullptr));
  EXPECT_EQ(E_POINTER, stream->Commit(STGC_DEFAULT));
  EXPECT_EQ(E_POINTER, stream->Revert());
  EXPECT_EQ(E_POINTER, stream->LockRegion(none, none, LOCK_WRITE));
  EXPECT_EQ(E_POINTER, stream->UnlockRegion(none, none, LOCK_WRITE));
  EXPECT_EQ(E_POINTER, stream->Stat(&stat, STATFLAG_NONAME));
  EXPECT_EQ(0u, stat.cbSize.QuadPart);
  EXPECT_EQ(0u, stat.type);
  EXPECT_EQ(nullptr, stat.pwcsName);
  EXPECT_EQ(E_POINTER, stream->Clone(&clone));
  EXPECT_EQ(nullptr, clone);
  EXPECT_EQ(10u, stream->ByteCount());
  EXPECT_EQ(2u, stream->AddRef());
  EXPECT_EQ(1u, stream->Release());
}

TEST_F(FilterStreamTest, ApplyWithoutMemoryStreamFailsInsteadOfAdjusting) {
  auto stream = NewFilterStream();
  ASSERT_EQ(S_OK, stream->Initialize(200, 0, application_.get()));
  ASSERT_EQ(S_OK, WriteAll(stream.get(), MakeSampleBmp(8, 8, 8)));
  stream->ReleaseStreams();
  EXPECT_EQ(E_POINTER, stream->ApplyAdjustments());
  EXPECT_TRUE(application_->Contents().empty());
}

TEST_F(FilterStreamTest, FreshStreamHasNothingToWorkOn) {
  auto stream = NewFilterStream();
  EXPECT_EQ(S_OK, stream->ApplyAdjustments());  // no adjustments set
  EXPECT_EQ(E_POINTER, stream->Write("x", 1, nullptr));
  EXPECT_EQ(E_INVALIDARG, stream->Initialize(200, 0, nullptr));
  EXPECT_FALSE(stream->HasAdjustments());  // nothing stored
  EXPECT_EQ(E_POINTER, stream->Write("x", 1, nullptr));
  EXPECT_EQ(0u, stream->ByteCount());
}

TEST_F(FilterStreamTest, FailingAdjustmentIsReturnedUnchanged) {
  auto stream = NewFilterStream();
  ASSERT_EQ(S_OK, stream->Initialize(200, 0, application_.get()));
  ASSERT_EQ(S_OK, WriteAll(stream.get(), Bytes(20, 0)));  // not a BMP
  const HRESULT hr = stream->ApplyAdjustments();
  EXPECT_TRUE(FAILED(hr)) << std::hex << hr;

  // The application's stream failing is passed back as it is.
  auto second = NewFilterStream();
  const std::vector<BYTE> page = MakeSampleBmp(8, 8, 8);
  application_->Fail(StreamCall::Write, 1, STG_E_MEDIUMFULL);
  ASSERT_EQ(S_OK, second->Initialize(200, 0, application_.get()));
  ASSERT_EQ(S_OK, WriteAll(second.get(), page));
  EXPECT_EQ(STG_E_MEDIUMFULL, second->ApplyAdjustments());
}

TEST_F(FilterStreamTest, PageTheBufferCouldNotHoldFailsWithItsErrorAndTheNextPageWorks) {
  const std::vector<BYTE> page = MakeSampleBmp(33, 17, 8);
  auto stream = NewFilterStream();
  ASSERT_EQ(S_OK, stream->Initialize(200, 0, application_.get()));
  ASSERT_EQ(S_OK, WriteAll(stream.get(), page));
  // A piece that would take the page past 4 GB (refused before its bytes are
  // read): the page is not adjusted, though what was buffered is a whole BMP.
  ULONG written = 77;
  EXPECT_EQ(STG_E_MEDIUMFULL, stream->Write(page.data(), 0xFFFFFFFFu, &written));
  EXPECT_EQ(0u, written);
  EXPECT_EQ(page.size(), stream->ByteCount());
  EXPECT_EQ(STG_E_MEDIUMFULL, stream->ApplyAdjustments());
  EXPECT_TRUE(application_->Contents().empty());
  EXPECT_EQ(0u, stream->ByteCount());
  stream->ReleaseStreams();

  auto next = NewFilterStream();
  ASSERT_EQ(S_OK, next->Initialize(200, 0, application_.get()));
  ASSERT_EQ(S_OK, WriteAll(next.get(), page));
  ASSERT_EQ(S_OK, next->ApplyAdjustments());
  EXPECT_EQ(AdjustedCopy(200, 0, page), application_->Contents());
}

TEST_F(FilterStreamTest, QueryInterfaceAnswersUnknownSequentialStreamAndStreamWithOneObject) {
  auto stream = NewFilterStream();
  IStream* object = stream.get();
  ExpectInterfaces(object, {{&IID_IUnknown, object},
                            {&IID_ISequentialStream, static_cast<ISequentialStream*>(object)},
                            {&IID_IStream, object}});
}

TEST_F(FilterStreamTest, OtherCallsGoToTheWorkingStream) {
  auto stream = NewFilterStream();
  ASSERT_EQ(S_OK, stream->Initialize(0, 0, application_.get()));
  ASSERT_EQ(S_OK, WriteAll(stream.get(), Bytes(64, 9)));
  STATSTG stat = {};
  ASSERT_EQ(S_OK, stream->Stat(&stat, STATFLAG_NONAME));
  EXPECT_EQ(64u, stat.cbSize.QuadPart);

  ULARGE_INTEGER size = {};
  size.QuadPart = 16;
  ASSERT_EQ(S_OK, stream->SetSize(size));
  EXPECT_EQ(Bytes(16, 9), application_->Contents());

  // A clone starts where the stream stands, in the working stream.
  ComRef<IStream> clone;
  ASSERT_EQ(S_OK, stream->Clone(clone.put()));
  ASSERT_EQ(S_OK, WriteAll(clone.get(), Bytes(8, 1)));
  EXPECT_EQ(72u, stream->ByteCount());
  clone.reset();

  const LARGE_INTEGER zero = {};
  ASSERT_EQ(S_OK, stream->Seek(zero, STREAM_SEEK_SET, nullptr));
  BYTE buffer[16] = {};
  ULONG read = 0;
  ASSERT_EQ(S_OK, stream->Read(buffer, sizeof(buffer), &read));
  EXPECT_EQ(16u, read);
  EXPECT_EQ(72u, stream->ByteCount());
}

}  // namespace
