// The page buffer stream against the platform's memory stream
// (CreateStreamOnHGlobal): both are driven with the same long seeded
// sequences of calls, and every result, out-parameter and byte must agree.
#include "page_buffer_stream.h"

#include <psapi.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fault_stream.h"
#include "test_support.h"

namespace {

constexpr int kSlots = 4;                  // the stream and up to three clones
constexpr ULONGLONG kCap = 3 << 20;        // sizes stay below this, crossing steps and ranges
constexpr ULONG kPoolBytes = 1300 * 1024;  // random data the writes take from

std::string Hex(ULONGLONG value) {
  std::ostringstream text;
  text << "0x" << std::hex << value;
  return text.str();
}

// The platform's stream and the page buffer stream side by side: slot i of
// one is the counterpart of slot i of the other. `defined_` says, for each
// byte of the streams, whether the platform gives it a value: bytes of a gap
// (a write past the end, SetSize growing) hold whatever the platform's heap
// held, and copies of them likewise; the page buffer must hold zeros there.
class Differential {
 public:
  explicit Differential(unsigned seed) : random_(seed), pool_(kPoolBytes) {
    for (BYTE& b : pool_) b = static_cast<BYTE>(random_());
    Renew();
  }

  // Runs `calls` random calls, checking after each; stops at the first
  // difference and says which calls led to it.
  void Run(int calls) {
    for (int i = 0; i < calls; ++i) {
      std::ostringstream text;
      text << "#" << i << " ";
      op_ = text.str();
      OneCall();
      if (!::testing::Test::HasFailure()) CheckState();
      history_.push_back(op_);
      if (history_.size() > 25) history_.pop_front();
      if (::testing::Test::HasFailure()) {
        std::string trail;
        for (const std::string& line : history_) trail += "  " + line + "\n";
        ADD_FAILURE() << "the calls that led to the difference:\n" << trail;
        return;
      }
    }
  }

  // Call counts, so that a run can show it reached every kind of call.
  std::vector<int> counts = std::vector<int>(16, 0);

 private:
  ULONGLONG Pick(ULONGLONG low, ULONGLONG high) {
    return std::uniform_int_distribution<ULONGLONG>(low, high)(random_);
  }
  bool Chance(int percent) { return Pick(0, 99) < static_cast<ULONGLONG>(percent); }

  int LiveSlot() {
    for (;;) {
      const int slot = static_cast<int>(Pick(0, kSlots - 1));
      if (platform_[slot]) return slot;
    }
  }
  int LiveCount() const {
    int live = 0;
    for (const auto& s : platform_) live += s ? 1 : 0;
    return live;
  }

  ULONG RandomLength() {
    switch (Pick(0, 9)) {
      case 0: return 0;
      case 1:
      case 2: return static_cast<ULONG>(Pick(1, 16));
      case 3:
      case 4:
      case 5: return static_cast<ULONG>(Pick(17, 4096));
      case 6:
      case 7:
      case 8: return static_cast<ULONG>(Pick(4097, 70000));
      default: return static_cast<ULONG>(Pick(70001, kPoolBytes));
    }
  }

  // Where a slot stands, asked of both streams (they must agree).
  ULONGLONG Position(int slot) {
    const LARGE_INTEGER zero = {};
    ULARGE_INTEGER p = {}, m = {};
    EXPECT_EQ(platform_[slot]->Seek(zero, STREAM_SEEK_CUR, &p),
              mine_[slot]->Seek(zero, STREAM_SEEK_CUR, &m))
        << op_;
    EXPECT_EQ(p.QuadPart, m.QuadPart) << op_ << " position of slot " << slot;
    return p.QuadPart;
  }
  ULONGLONG Size() { return defined_.size(); }

  // Bytes read from offset `at` of the streams, `p` from the platform's and
  // `m` from the page buffer: equal where the platform defines them, zero
  // from the page buffer elsewhere.
  void ExpectSameBytes(const BYTE* p, const BYTE* m, size_t count, ULONGLONG at, const char* what) {
    // Whole runs of defined bytes are compared at once.
    const size_t defined = at < defined_.size() ? defined_.size() - static_cast<size_t>(at) : 0;
    const BYTE* d = defined_.data() + std::min<size_t>(static_cast<size_t>(at), defined_.size());
    for (size_t i = 0; i < count;) {
      const size_t run = std::min<size_t>(count - i, 4096);
      if (i + run <= defined && !std::memchr(d + i, 0, run) && !std::memcmp(p + i, m + i, run)) {
        i += run;
        continue;
      }
      for (size_t end = i + run; i < end; ++i) {
        const bool known = i < defined && d[i] != 0;
        if (known ? p[i] != m[i] : m[i] != 0) {
          ADD_FAILURE() << op_ << ": " << what << " byte " << i << " (offset " << at + i
                        << (known ? "" : ", a gap") << "): platform " << static_cast<int>(p[i])
                        << ", page buffer " << static_cast<int>(m[i]);
          return;
        }
      }
    }
  }

  // After every call: the same slots alive, at the same positions, on streams
  // of the same size and contents.
  void CheckState() {
    int any = -1;
    for (int slot = 0; slot < kSlots; ++slot) {
      ASSERT_EQ(!platform_[slot], !mine_[slot]) << op_;
      if (!platform_[slot]) continue;
      any = slot;
      Position(slot);
      STATSTG p = {}, m = {};
      ASSERT_EQ(S_OK, platform_[slot]->Stat(&p, STATFLAG_NONAME));
      ASSERT_EQ(S_OK, mine_[slot]->Stat(&m, STATFLAG_NONAME));
      ASSERT_EQ(p.cbSize.QuadPart, m.cbSize.QuadPart) << op_ << " size, slot " << slot;
      ASSERT_EQ(defined_.size(), p.cbSize.QuadPart) << op_ << " (the test's own record)";
    }
    ASSERT_GE(any, 0);
    // The platform's bytes straight from its memory block; the page buffer's
    // through a clone, which leaves the slot's position alone.
    HGLOBAL block = nullptr;
    ASSERT_EQ(S_OK, GetHGlobalFromStream(platform_[any].get(), &block));
    const BYTE* p = static_cast<const BYTE*>(GlobalLock(block));
    ComRef<IStream> reader;
    ASSERT_EQ(S_OK, mine_[any]->Clone(reader.put()));
    const LARGE_INTEGER zero = {};
    ASSERT_EQ(S_OK, reader->Seek(zero, STREAM_SEEK_SET, nullptr));
    contents_.resize(defined_.size() + 1);
    ULONG read = 0;
    ASSERT_EQ(S_OK, reader->Read(contents_.data(), static_cast<ULONG>(contents_.size()), &read));
    ASSERT_EQ(defined_.size(), read) << op_;
    if (p) ExpectSameBytes(p, contents_.data(), defined_.size(), 0, "contents");
    GlobalUnlock(block);
  }

  void Renew() {
    for (int slot = 0; slot < kSlots; ++slot) {
      platform_[slot].reset();
      mine_[slot].reset();
    }
    ASSERT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, platform_[0].put()));
    ASSERT_EQ(S_OK, CreatePageBufferStream(mine_[0].put()));
    defined_.clear();
  }

  void OneCall() {
    const ULONGLONG kind = Pick(0, 99);
    if (kind < 24) return CallWrite();
    if (kind < 42) return CallSeek();
    if (kind < 54) return CallRead();
    if (kind < 62) return CallSetSize();
    if (kind < 67) return CallStat();
    if (kind < 76) return CallCopyTo();
    if (kind < 80) return CallCommitOrRevert();
    if (kind < 84) return CallLocks();
    if (kind < 89) return CallClone();
    if (kind < 92) return CallRelease();
    if (kind < 98) return CallQueryInterface();
    return CallRenew();
  }

  void CallWrite() {
    const int slot = LiveSlot();
    const ULONGLONG position = Position(slot);
    if (position >= kCap) return CallSeek();  // keep the streams small
    const ULONG length = static_cast<ULONG>(std::min<ULONGLONG>(RandomLength(), kCap - position));
    const BYTE* data = pool_.data() + Pick(0, kPoolBytes - length);
    const bool nullData = length == 0 && Chance(50);
    const bool nullCount = Chance(10);
    op_ += "Write slot " + std::to_string(slot) + " at " + std::to_string(position) + ", " +
           std::to_string(length) + " bytes" + (nullData ? ", no buffer" : "") +
           (nullCount ? ", no count" : "");
    ++counts[0];
    ULONG p = 0xEEEEEEEE, m = 0xEEEEEEEE;
    const HRESULT hp =
        platform_[slot]->Write(nullData ? nullptr : data, length, nullCount ? nullptr : &p);
    const HRESULT hm =
        mine_[slot]->Write(nullData ? nullptr : data, length, nullCount ? nullptr : &m);
    EXPECT_EQ(hp, hm) << op_;
    EXPECT_EQ(p, m) << op_ << " count written";
    if (SUCCEEDED(hp) && length > 0) {
      if (position + length > defined_.size()) defined_.resize(position + length, 0);
      std::fill(defined_.begin() + position, defined_.begin() + position + length, 1);
    }
  }

  void CallRead() {
    const int slot = LiveSlot();
    const ULONGLONG position = Position(slot);
    const ULONG length = RandomLength();
    const bool nullCount = Chance(10);
    const bool nullBuffer = position >= Size() && Chance(30);
    op_ += "Read slot " + std::to_string(slot) + " at " + std::to_string(position) + " of " +
           std::to_string(Size()) + ", " + std::to_string(length) + " bytes" +
           (nullBuffer ? ", no buffer" : "") + (nullCount ? ", no count" : "");
    ++counts[1];
    std::vector<BYTE> p(length + 1, 0xCD), m(length + 1, 0xCD);
    ULONG pn = 0xEEEEEEEE, mn = 0xEEEEEEEE;
    if (position > Size()) {
      // The platform under Wine reads from beyond its block here; the
      // published contract, which the page buffer keeps, is that nothing is
      // read from past the end.
      op_ += " (past the end: the page buffer alone)";
      EXPECT_EQ(S_OK, mine_[slot]->Read(nullBuffer ? nullptr : m.data(), length,
                                        nullCount ? nullptr : &mn))
          << op_;
      EXPECT_EQ(nullCount ? 0xEEEEEEEE : 0u, mn) << op_;
      EXPECT_EQ(std::vector<BYTE>(length + 1, 0xCD), m) << op_;
      return;
    }
    const HRESULT hp =
        platform_[slot]->Read(nullBuffer ? nullptr : p.data(), length, nullCount ? nullptr : &pn);
    const HRESULT hm =
        mine_[slot]->Read(nullBuffer ? nullptr : m.data(), length, nullCount ? nullptr : &mn);
    EXPECT_EQ(hp, hm) << op_;
    EXPECT_EQ(pn, mn) << op_ << " count read";
    // What was read must agree; what was not must be untouched on both sides.
    const size_t got =
        nullCount ? static_cast<size_t>(std::min<ULONGLONG>(length, Size() - position)) : pn;
    ExpectSameBytes(p.data(), m.data(), got, position, "read");
    for (size_t i = got; i <= length; ++i) {
      if (p[i] != 0xCD || m[i] != 0xCD) {
        ADD_FAILURE() << op_ << ": byte " << i << " of the buffer changed beyond what was read";
        break;
      }
    }
  }

  LARGE_INTEGER RandomMove(ULONGLONG from) {
    static const LONGLONG kFar[] = {0x7FFFFFFFll,
                                    0x80000000ll,
                                    0xFFFFFFFFll,
                                    0x100000000ll,
                                    0x100000005ll,
                                    -0x100000000ll + 7,
                                    -0x80000000ll,
                                    -0x80000001ll,
                                    -1,
                                    0x7FFFFFFFFFFFFFFFll,
                                    -0x7FFFFFFFFFFFFFFFll - 1,
                                    0x7FFFFF00ll,
                                    static_cast<LONGLONG>(0xFFFFFFFF00000010ull)};
    LARGE_INTEGER move;
    if (Chance(12)) {
      move.QuadPart = kFar[Pick(0, sizeof(kFar) / sizeof(kFar[0]) - 1)];
    } else if (Chance(5)) {
      move.QuadPart = static_cast<LONGLONG>(Pick(0, ~0ull));
    } else {
      // A target from a little before the start to past the end.
      const LONGLONG target = static_cast<LONGLONG>(Pick(0, Size() + 2 * kPageBufferCommitStep)) -
                              (Chance(10) ? static_cast<LONGLONG>(Pick(1, 3000)) : 0);
      move.QuadPart = target - static_cast<LONGLONG>(from);
    }
    return move;
  }

  void CallSeek() {
    const int slot = LiveSlot();
    const ULONGLONG position = Position(slot);
    static const DWORD kOrigins[] = {STREAM_SEEK_SET, STREAM_SEEK_CUR, STREAM_SEEK_END, 3,
                                     0xFFFFFFFF};
    const DWORD origin = kOrigins[Chance(94) ? Pick(0, 2) : Pick(3, 4)];
    const ULONGLONG from = origin == STREAM_SEEK_CUR   ? position
                           : origin == STREAM_SEEK_END ? Size()
                                                       : 0;
    const LARGE_INTEGER move = RandomMove(from);
    const bool nullOut = Chance(10);
    op_ += "Seek slot " + std::to_string(slot) + " origin " + std::to_string(origin) + " move " +
           std::to_string(move.QuadPart) + (nullOut ? ", no out" : "");
    ++counts[2];
    ULARGE_INTEGER p, m;
    p.QuadPart = m.QuadPart = 0x7777;
    const HRESULT hp = platform_[slot]->Seek(move, origin, nullOut ? nullptr : &p);
    const HRESULT hm = mine_[slot]->Seek(move, origin, nullOut ? nullptr : &m);
    EXPECT_EQ(hp, hm) << op_;
    EXPECT_EQ(p.QuadPart, m.QuadPart) << op_ << " new position";
  }

  void CallSetSize() {
    const int slot = LiveSlot();
    ULONGLONG size = Size();
    switch (Pick(0, 5)) {
      case 0: size = 0; break;
      case 1: size = Size() - Pick(0, std::min<ULONGLONG>(Size(), 5000)); break;
      case 2: size = Size() + Pick(0, 5000); break;
      case 3: size = Pick(0, Size()); break;
      case 4: size = Size() + Pick(0, kPageBufferCommitStep + 4096); break;
      default: break;  // unchanged
    }
    if (Size() > 2 * kPageBufferCommitStep && Chance(50)) size = Pick(0, Size() / 4);
    size = std::min(size, kCap);
    op_ += "SetSize slot " + std::to_string(slot) + " from " + std::to_string(Size()) + " to " +
           std::to_string(size);
    ++counts[3];
    ULARGE_INTEGER newSize;
    newSize.QuadPart = size;
    const HRESULT hp = platform_[slot]->SetSize(newSize);
    const HRESULT hm = mine_[slot]->SetSize(newSize);
    EXPECT_EQ(hp, hm) << op_;
    if (SUCCEEDED(hp)) defined_.resize(size, 0);
  }

  void CallStat() {
    const int slot = LiveSlot();
    static const DWORD kFlags[] = {STATFLAG_DEFAULT, STATFLAG_NONAME, STATFLAG_NOOPEN, 7,
                                   0xFFFFFFFF};
    const DWORD flag = kFlags[Pick(0, 4)];
    op_ += "Stat slot " + std::to_string(slot) + " flag " + std::to_string(flag);
    ++counts[4];
    STATSTG p, m;
    std::memset(&p, 0xAB, sizeof p);
    std::memset(&m, 0xAB, sizeof m);
    const HRESULT hp = platform_[slot]->Stat(&p, flag);
    const HRESULT hm = mine_[slot]->Stat(&m, flag);
    EXPECT_EQ(hp, hm) << op_;
    // Every byte of the structure, the name pointer and the padding included.
    EXPECT_EQ(0, std::memcmp(&p, &m, sizeof p))
        << op_ << ": size " << p.cbSize.QuadPart << "/" << m.cbSize.QuadPart << ", type " << p.type
        << "/" << m.type;
    if (SUCCEEDED(hp) && p.pwcsName) CoTaskMemFree(p.pwcsName);
    if (SUCCEEDED(hm) && m.pwcsName) CoTaskMemFree(m.pwcsName);
  }

  ULARGE_INTEGER RandomCopyLength(ULONGLONG position, ULONGLONG limit) {
    ULARGE_INTEGER cb;
    switch (Pick(0, 5)) {
      case 0: cb.QuadPart = 0; break;
      case 1: cb.QuadPart = Pick(1, 300); break;
      case 2: cb.QuadPart = Pick(1, 300000); break;
      case 3: cb.QuadPart = Size() > position ? Size() - position : 0; break;
      case 4: cb.QuadPart = 0x100000005ull; break;
      default: cb.QuadPart = ~0ull; break;
    }
    cb.QuadPart = std::min(cb.QuadPart, limit);
    return cb;
  }

  void CallCopyTo() {
    const int slot = LiveSlot();
    const ULONGLONG position = Position(slot);
    const bool nullRead = Chance(10);
    const bool nullWritten = Chance(10);
    ULARGE_INTEGER pr, pw, mr, mw;
    pr.QuadPart = pw.QuadPart = mr.QuadPart = mw.QuadPart = 0x7777;
    if (Chance(30)) return CopyWithinTheStream(slot, position);
    ++counts[5];
    const ULARGE_INTEGER cb = RandomCopyLength(position, ~0ull);
    // The destination answers one of its writes (1-based; 0 none) as told,
    // having taken some of the bytes offered.
    const unsigned answerAt = Chance(40) ? static_cast<unsigned>(Pick(1, 6)) : 0;
    static const HRESULT kAnswers[] = {E_FAIL, STG_E_MEDIUMFULL, S_FALSE, S_OK};
    const HRESULT answer = kAnswers[Pick(0, 3)];
    const ULONG keep = static_cast<ULONG>(Pick(0, 200));
    op_ += "CopyTo from slot " + std::to_string(slot) + " at " + std::to_string(position) + " of " +
           std::to_string(Size()) + ", " + Hex(cb.QuadPart) + " bytes; write " +
           std::to_string(answerAt) + " answers " + Hex(static_cast<ULONG>(answer)) + " keeping " +
           std::to_string(keep);
    ComRef<FaultStream> p = FaultStream::Create();
    ComRef<FaultStream> m = FaultStream::Create();
    p->Fail(StreamCall::Write, answerAt, answer, keep);
    m->Fail(StreamCall::Write, answerAt, answer, keep);
    if (position > Size()) {
      // Past the end nothing is read, so nothing is copied (see Read).
      op_ += " (past the end: the page buffer alone)";
      EXPECT_EQ(S_OK, mine_[slot]->CopyTo(m.get(), cb, nullRead ? nullptr : &mr,
                                          nullWritten ? nullptr : &mw))
          << op_;
      EXPECT_EQ(nullRead ? 0x7777u : 0u, mr.QuadPart) << op_;
      EXPECT_EQ(nullWritten ? 0x7777u : 0u, mw.QuadPart) << op_;
      EXPECT_TRUE(m->WriteSizes().empty()) << op_;
      return;
    }
    const HRESULT hp =
        platform_[slot]->CopyTo(p.get(), cb, nullRead ? nullptr : &pr, nullWritten ? nullptr : &pw);
    const HRESULT hm =
        mine_[slot]->CopyTo(m.get(), cb, nullRead ? nullptr : &mr, nullWritten ? nullptr : &mw);
    EXPECT_EQ(hp, hm) << op_;
    EXPECT_EQ(pr.QuadPart, mr.QuadPart) << op_ << " bytes read";
    EXPECT_EQ(pw.QuadPart, mw.QuadPart) << op_ << " bytes written";
    EXPECT_EQ(p->WriteSizes(), m->WriteSizes()) << op_ << " the destination's writes";
    EXPECT_EQ(p->Log(), m->Log()) << op_ << " the destination's calls";
    const std::vector<BYTE> copied = p->Contents();
    ASSERT_EQ(copied.size(), m->Contents().size()) << op_;
    // Up to the answered write the bytes stand where they were read from.
    size_t same = 0;
    for (size_t i = 0; i < p->WriteSizes().size() && i + 1 != answerAt; ++i) {
      same += p->WriteSizes()[i];
    }
    ExpectSameBytes(copied.data(), m->Contents().data(), std::min(same, copied.size()), position,
                    "copied");
    EXPECT_EQ(1, p->Refs());
    EXPECT_EQ(1, m->Refs());
  }

  // CopyTo into the stream itself or a clone: both share the memory, so
  // the pieces read later may be ones written earlier.
  void CopyWithinTheStream(int slot, ULONGLONG position) {
    const int target = LiveSlot();
    const ULONGLONG to = Position(target);
    const ULONGLONG furthest = std::max(position, to);
    if (furthest >= kCap / 2 || position > Size()) return CallStat();
    ULARGE_INTEGER cb = RandomCopyLength(position, (kCap - furthest) / 3);
    // A clone ahead of the reader would keep copying what it has just written.
    if (target != slot) cb.QuadPart = std::min<ULONGLONG>(cb.QuadPart, 300000);
    op_ += "CopyTo from slot " + std::to_string(slot) + " at " + std::to_string(position) +
           " into slot " + std::to_string(target) + " at " + std::to_string(to) + " of " +
           std::to_string(Size()) + ", " + Hex(cb.QuadPart) + " bytes";
    ++counts[6];
    ULARGE_INTEGER pr, pw, mr, mw;
    pr.QuadPart = pw.QuadPart = mr.QuadPart = mw.QuadPart = 0x7777;
    const HRESULT hp = platform_[slot]->CopyTo(platform_[target].get(), cb, &pr, &pw);
    const HRESULT hm = mine_[slot]->CopyTo(mine_[target].get(), cb, &mr, &mw);
    EXPECT_EQ(hp, hm) << op_;
    EXPECT_EQ(pr.QuadPart, mr.QuadPart) << op_ << " bytes read";
    EXPECT_EQ(pw.QuadPart, mw.QuadPart) << op_ << " bytes written";
    // Which bytes now have values, piece by piece as the copy went.
    ULONGLONG from = position, into = to, left = cb.QuadPart;
    while (left > 0) {
      const ULONGLONG wanted = std::min<ULONGLONG>(left, 128);
      const ULONGLONG got = from < defined_.size() ? std::min(wanted, defined_.size() - from) : 0;
      std::vector<BYTE> piece(defined_.begin() + from, defined_.begin() + from + got);
      from += got;
      if (target == slot) into = from;
      if (got > 0) {
        if (into + got > defined_.size()) defined_.resize(into + got, 0);
        std::copy(piece.begin(), piece.end(), defined_.begin() + into);
        into += got;
        if (target == slot) from = into;
      }
      if (got != wanted) break;
      left -= got;
    }
  }

  void CallCommitOrRevert() {
    const int slot = LiveSlot();
    ++counts[7];
    if (Chance(50)) {
      const DWORD flags =
          Chance(50) ? static_cast<DWORD>(Pick(0, 15)) : static_cast<DWORD>(Pick(0, 0xFFFFFFFF));
      op_ += "Commit slot " + std::to_string(slot) + " flags " + std::to_string(flags);
      EXPECT_EQ(platform_[slot]->Commit(flags), mine_[slot]->Commit(flags)) << op_;
    } else {
      op_ += "Revert slot " + std::to_string(slot);
      EXPECT_EQ(platform_[slot]->Revert(), mine_[slot]->Revert()) << op_;
    }
  }

  void CallLocks() {
    const int slot = LiveSlot();
    ULARGE_INTEGER offset, length;
    offset.QuadPart = Pick(0, Size() + 100);
    length.QuadPart = Chance(10) ? ~0ull : Pick(0, 10000);
    const DWORD type = static_cast<DWORD>(Pick(0, 8));
    const bool lock = Chance(50);
    op_ += std::string(lock ? "LockRegion" : "UnlockRegion") + " slot " + std::to_string(slot) +
           " at " + std::to_string(offset.QuadPart) + " type " + std::to_string(type);
    ++counts[8];
    if (lock) {
      EXPECT_EQ(platform_[slot]->LockRegion(offset, length, type),
                mine_[slot]->LockRegion(offset, length, type))
          << op_;
    } else {
      EXPECT_EQ(platform_[slot]->UnlockRegion(offset, length, type),
                mine_[slot]->UnlockRegion(offset, length, type))
          << op_;
    }
  }

  void CallClone() {
    const int slot = LiveSlot();
    const int into = static_cast<int>(Pick(0, kSlots - 1));
    op_ += "Clone slot " + std::to_string(slot) + " into slot " + std::to_string(into);
    ++counts[9];
    ComRef<IStream> p, m;
    const HRESULT hp = platform_[slot]->Clone(p.put());
    const HRESULT hm = mine_[slot]->Clone(m.put());
    EXPECT_EQ(hp, hm) << op_;
    ASSERT_EQ(!p, !m) << op_;
    if (!p) return;
    // The clone is a stream of its own, with its own identity and count.
    EXPECT_NE(platform_[slot].get(), p.get());
    EXPECT_NE(mine_[slot].get(), m.get());
    EXPECT_EQ(RefCountOf(p.get()), RefCountOf(m.get())) << op_;
    platform_[into] = std::move(p);
    mine_[into] = std::move(m);
  }

  void CallRelease() {
    const int slot = LiveSlot();
    ++counts[10];
    if (LiveCount() < 2 || Chance(30)) {
      // Extra references taken and given back.
      const int extra = static_cast<int>(Pick(1, 3));
      op_ += "AddRef and Release slot " + std::to_string(slot) + " " + std::to_string(extra) +
             " times";
      for (int i = 0; i < extra; ++i) {
        EXPECT_EQ(platform_[slot]->AddRef(), mine_[slot]->AddRef()) << op_;
      }
      for (int i = 0; i < extra; ++i) {
        EXPECT_EQ(platform_[slot]->Release(), mine_[slot]->Release()) << op_;
      }
      return;
    }
    // The slot's only reference: the others keep the contents.
    op_ += "Release slot " + std::to_string(slot);
    EXPECT_EQ(platform_[slot].release()->Release(), mine_[slot].release()->Release()) << op_;
  }

  void CallQueryInterface() {
    const int slot = LiveSlot();
    static const IID* const kIids[] = {&IID_IUnknown,       &IID_ISequentialStream, &IID_IStream,
                                       &IID_IMarshal,       &IID_IStorage,          &IID_ILockBytes,
                                       &IID_IPersistStream, &IID_IAgileObject,      &IID_INoMarshal,
                                       &IID_IClassFactory};
    const size_t which = static_cast<size_t>(Pick(0, sizeof(kIids) / sizeof(kIids[0]) - 1));
    const bool nullOut = Chance(5);
    op_ += "QueryInterface slot " + std::to_string(slot) + " interface " + std::to_string(which) +
           (nullOut ? ", no out" : "");
    ++counts[11];
    void* p = reinterpret_cast<void*>(1);
    void* m = reinterpret_cast<void*>(1);
    const HRESULT hp = platform_[slot]->QueryInterface(*kIids[which], nullOut ? nullptr : &p);
    const HRESULT hm = mine_[slot]->QueryInterface(*kIids[which], nullOut ? nullptr : &m);
    // A null out pointer: E_POINTER, as every object of the library answers
    // it, where the platform's stream answers E_INVALIDARG.
    EXPECT_EQ(nullOut ? E_POINTER : hp, hm) << op_;
    // The stream itself, nothing, or the pointer left alone, on both sides alike.
    auto kind = [](void* out, IStream* self) {
      return out == static_cast<void*>(self)     ? 0
             : out == nullptr                    ? 1
             : out == reinterpret_cast<void*>(1) ? 2
                                                 : 3;
    };
    EXPECT_EQ(kind(p, platform_[slot].get()), kind(m, mine_[slot].get())) << op_;
    if (SUCCEEDED(hp) && p) static_cast<IUnknown*>(p)->Release();
    if (SUCCEEDED(hm) && m) static_cast<IUnknown*>(m)->Release();
  }

  void CallRenew() {
    op_ += "new streams";
    ++counts[12];
    Renew();
  }

  std::mt19937 random_;
  std::vector<BYTE> pool_;
  ComRef<IStream> platform_[kSlots];
  ComRef<IStream> mine_[kSlots];
  std::vector<BYTE> defined_;
  std::vector<BYTE> contents_;  // the page buffer's, read after each call
  std::string op_;
  std::deque<std::string> history_;
};

class PageBufferStreamTest : public ModuleCountTest {};

TEST_F(PageBufferStreamTest, AnswersEveryCallAsThePlatformMemoryStreamDoes) {
  for (unsigned seed : {1u, 2u, 3u, 4u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Differential run(seed);
    run.Run(3000);
    if (HasFailure()) return;
    // Every kind of call was made.
    for (int kind = 0; kind <= 12; ++kind) EXPECT_GT(run.counts[kind], 0) << "call kind " << kind;
  }
}

ULONGLONG Size(IStream* stream) {
  STATSTG stat = {};
  EXPECT_EQ(S_OK, stream->Stat(&stat, STATFLAG_NONAME));
  return stat.cbSize.QuadPart;
}

ULONGLONG Position(IStream* stream) {
  const LARGE_INTEGER zero = {};
  ULARGE_INTEGER position = {};
  EXPECT_EQ(S_OK, stream->Seek(zero, STREAM_SEEK_CUR, &position));
  return position.QuadPart;
}

void SeekTo(IStream* stream, ULONGLONG position) {
  LARGE_INTEGER move;
  move.QuadPart = static_cast<LONGLONG>(position);
  ASSERT_EQ(S_OK, stream->Seek(move, STREAM_SEEK_SET, nullptr));
}

// Where the platform's stream would crash (Wine) or the stream cannot hold
// more, the answers are the errors IStream documents for them, and the call
// changes nothing.
TEST_F(PageBufferStreamTest, RefusesWhatItCannotDoAndKeepsWhatItHolds) {
  ComRef<IStream> stream;
  ASSERT_EQ(S_OK, CreatePageBufferStream(2 * kPageBufferCommitStep, stream.put()));
  std::vector<BYTE> page(2 * kPageBufferCommitStep);
  for (size_t i = 0; i < page.size(); ++i) page[i] = static_cast<BYTE>(i * 7 + 3);
  ULONG count = 0;
  ASSERT_EQ(S_OK, stream->Write(page.data(), static_cast<ULONG>(page.size()), &count));

  // Beyond the reserved range, as when memory runs out: E_OUTOFMEMORY.
  count = 77;
  EXPECT_EQ(E_OUTOFMEMORY, stream->Write(page.data(), 1, &count));
  EXPECT_EQ(0u, count);
  ULARGE_INTEGER size;
  size.QuadPart = page.size() + 1;
  EXPECT_EQ(E_OUTOFMEMORY, stream->SetSize(size));
  // Beyond what an HGLOBAL stream holds (4 GB): checked before the buffer is
  // read, so the short buffer here is never touched.
  SeekTo(stream.get(), 1);
  count = 77;
  EXPECT_EQ(STG_E_MEDIUMFULL, stream->Write(page.data(), 0xFFFFFFFFu, &count));
  EXPECT_EQ(0u, count);
  size.QuadPart = 0x100000000ull;
  EXPECT_EQ(STG_E_INVALIDFUNCTION, stream->SetSize(size));
  // No buffer where bytes are to be moved, no out pointer where one is needed.
  BYTE byte = 0;
  EXPECT_EQ(STG_E_INVALIDPOINTER, stream->Write(nullptr, 1, &count));
  EXPECT_EQ(STG_E_INVALIDPOINTER, stream->Read(nullptr, 1, &count));
  EXPECT_EQ(0u, count);
  EXPECT_EQ(STG_E_INVALIDPOINTER, stream->Stat(nullptr, STATFLAG_NONAME));
  EXPECT_EQ(STG_E_INVALIDPOINTER, stream->Clone(nullptr));
  EXPECT_EQ(STG_E_INVALIDPOINTER, stream->CopyTo(nullptr, size, nullptr, nullptr));
  EXPECT_EQ(E_POINTER, stream->QueryInterface(IID_IStream, nullptr));

  // Nothing of it changed the stream.
  EXPECT_EQ(page.size(), Size(stream.get()));
  EXPECT_EQ(1u, Position(stream.get()));
  SeekTo(stream.get(), 0);
  std::vector<BYTE> back(page.size());
  ASSERT_EQ(S_OK, stream->Read(back.data(), static_cast<ULONG>(back.size()), &count));
  EXPECT_EQ(page, back);
  // And within its room it works as before.
  size.QuadPart = 100;
  ASSERT_EQ(S_OK, stream->SetSize(size));
  SeekTo(stream.get(), page.size() - 1);
  EXPECT_EQ(S_OK, stream->Write(&byte, 1, &count));
  EXPECT_EQ(page.size(), Size(stream.get()));
}

size_t ResidentBytes() {
  PROCESS_MEMORY_COUNTERS counters = {};
  counters.cb = sizeof counters;
  EXPECT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters));
  return counters.WorkingSetSize;
}

// Memory is taken as the stream grows, given back as it shrinks, and
// released with the last stream that uses it, a clone included; a large page
// comes back whole, read in pieces that cross the ranges it is held in.
TEST_F(PageBufferStreamTest, MemoryFollowsTheSizeAndGoesWithTheLastClone) {
  constexpr size_t kPage = 64u << 20;
  constexpr size_t kSlack = 16u << 20;
  std::vector<BYTE> page(kPage);
  for (size_t i = 0; i < kPage; ++i) page[i] = static_cast<BYTE>((i >> 12) + i * 7);
  auto fill = [&](IStream* stream) {
    ULONG count = 0;
    for (size_t done = 0; done < kPage; done += 65536) {
      ASSERT_EQ(S_OK, stream->Write(page.data() + done, 65536, &count));
    }
  };
  const size_t before = ResidentBytes();
  {
    ComRef<IStream> stream;
    ASSERT_EQ(S_OK, CreatePageBufferStream(stream.put()));
    fill(stream.get());
    EXPECT_GT(ResidentBytes(), before + kPage - kSlack);
    ULARGE_INTEGER size;
    size.QuadPart = kPageBufferCommitStep / 2;
    ASSERT_EQ(S_OK, stream->SetSize(size));
    EXPECT_LT(ResidentBytes(), before + kSlack);
  }
  ComRef<IStream> clone;
  {
    ComRef<IStream> stream;
    ASSERT_EQ(S_OK, CreatePageBufferStream(stream.put()));
    fill(stream.get());
    ASSERT_EQ(S_OK, stream->Clone(clone.put()));
  }
  // The original is gone; the clone, which the library hands out, counts in
  // ModuleLockCount and still has the page.
  EXPECT_EQ(1, ModuleLockCount);
  EXPECT_GT(ResidentBytes(), before + kPage - kSlack);
  EXPECT_EQ(kPage, Size(clone.get()));
  SeekTo(clone.get(), 0);
  std::vector<BYTE> back(kPage);
  for (size_t done = 0; done < kPage;) {
    ULONG count = 0;
    const ULONG piece = static_cast<ULONG>(std::min<size_t>(1000003, kPage - done));
    ASSERT_EQ(S_OK, clone->Read(back.data() + done, piece, &count));
    ASSERT_EQ(piece, count);
    done += count;
  }
  EXPECT_TRUE(back == page);
  back = std::vector<BYTE>();
  clone.reset();
  EXPECT_LT(ResidentBytes(), before + kSlack);
}

// Stand-ins for VirtualAlloc and VirtualFree: every call goes on to the
// platform, except the one chosen to fail; live reservations are recorded.
// Each reservation is followed by a committed guard the stream never owns,
// so that bytes moved past a range's end land in the guard, or come from it,
// where a neighbouring reservation could otherwise make them look right.
namespace seam {
std::mutex lock;
std::map<BYTE*, SIZE_T> reservations;
DWORD failType = 0;  // MEM_RESERVE, MEM_COMMIT or MEM_DECOMMIT
int failAfter = 0;   // calls of that type that still succeed first
int strayFrees = 0;  // releases of memory not reserved here
constexpr SIZE_T kGuard = 64 * 1024;

LPVOID WINAPI Allocate(LPVOID address, SIZE_T bytes, DWORD type, DWORD protect) {
  std::lock_guard<std::mutex> hold(lock);
  if (type == failType && failAfter-- == 0) return nullptr;
  if (type != MEM_RESERVE) return VirtualAlloc(address, bytes, type, protect);
  BYTE* base = static_cast<BYTE*>(VirtualAlloc(address, bytes + kGuard, type, protect));
  if (base && VirtualAlloc(base + bytes, kGuard, MEM_COMMIT, PAGE_READWRITE)) {
    std::memset(base + bytes, 0xA5, kGuard);
    reservations[base] = bytes;
  }
  return base;
}

BOOL WINAPI Free(LPVOID address, SIZE_T bytes, DWORD type) {
  std::lock_guard<std::mutex> hold(lock);
  if (type == failType && failAfter-- == 0) return FALSE;
  if (type == MEM_RELEASE && reservations.erase(static_cast<BYTE*>(address)) == 0) ++strayFrees;
  return VirtualFree(address, bytes, type);
}

const PageBufferMemory kMemory = {Allocate, Free};

// Bytes reserved, and committed as VirtualQuery finds them, in all live
// reservations (guards left out).
std::pair<ULONGLONG, ULONGLONG> Held() {
  std::lock_guard<std::mutex> hold(lock);
  ULONGLONG reserved = 0, committed = 0;
  for (const auto& range : reservations) {
    reserved += range.second;
    for (BYTE* at = range.first; at < range.first + range.second;) {
      MEMORY_BASIC_INFORMATION info = {};
      if (!VirtualQuery(at, &info, sizeof info)) break;
      const SIZE_T length = std::min<SIZE_T>(info.RegionSize, range.first + range.second - at);
      if (info.State == MEM_COMMIT) committed += length;
      at += length;
    }
  }
  return {reserved, committed};
}
}  // namespace seam

constexpr ULONGLONG kStep = kPageBufferCommitStep;
constexpr ULONGLONG kMiB = 1 << 20;
constexpr ULONGLONG kTop = 0xFFFFFFFFull;  // the largest size an HGLOBAL stream holds

// Streams taking their memory through the stand-ins; every one leaves nothing
// reserved behind.
class PageBufferMemoryTest : public PageBufferStreamTest {
 protected:
  void SetUp() override {
    PageBufferStreamTest::SetUp();
    seam::failType = 0;
    seam::strayFrees = 0;
  }
  void TearDown() override {
    EXPECT_TRUE(seam::reservations.empty());
    EXPECT_EQ(0, seam::strayFrees);
    PageBufferStreamTest::TearDown();
  }
  // A stream of `size` bytes commits its size rounded up to the commit step,
  // in ranges that double from one step, as far as `room` (the limit).
  static void ExpectHolds(ULONGLONG size, ULONGLONG room = 4096 * kMiB) {
    ULONGLONG reserved = kStep;
    while (reserved < size) reserved *= 2;
    const auto held = seam::Held();
    EXPECT_EQ(std::min(reserved, room), held.first) << "reserved for " << size << " bytes";
    EXPECT_EQ((size + kStep - 1) / kStep * kStep, held.second) << "committed for " << size;
  }
  static void Resize(IStream* stream, ULONGLONG size, HRESULT expected = S_OK) {
    ULARGE_INTEGER to;
    to.QuadPart = size;
    EXPECT_EQ(expected, stream->SetSize(to)) << "SetSize " << size;
  }
  static void SeekFromEnd(IStream* stream, LONGLONG move) {
    LARGE_INTEGER by;
    by.QuadPart = move;
    ASSERT_EQ(S_OK, stream->Seek(by, STREAM_SEEK_END, nullptr));
  }
  static std::vector<BYTE> Take(IStream* stream, ULONG count) {
    std::vector<BYTE> bytes(count);
    ULONG read = 0;
    EXPECT_EQ(S_OK, stream->Read(bytes.data(), count, &read));
    bytes.resize(read);
    return bytes;
  }
  // What CopyTo hands a platform stream.
  static std::vector<BYTE> Copy(IStream* stream, ULONGLONG count) {
    ComRef<IStream> to = MemoryStream();
    ULARGE_INTEGER cb, read, written;
    cb.QuadPart = count;
    EXPECT_EQ(S_OK, stream->CopyTo(to.get(), cb, &read, &written));
    EXPECT_EQ(read.QuadPart, written.QuadPart);
    return FaultStream::StreamBytes(to.get());
  }
  std::vector<BYTE> Pattern(size_t count) {
    std::vector<BYTE> bytes(count);
    for (BYTE& b : bytes) b = static_cast<BYTE>(random_() | 1);  // never 0
    return bytes;
  }
  std::mt19937 random_{27};
};

// Every range end (1 MiB, 2 MiB ... 2 GiB) is crossed by a write, a read,
// CopyTo and SetSize both ways, in streams whose limits all mean 4 GB
// (larger limits included) or, in one row, stop the last range short. The
// stream is made afresh for each end, so that at most that end is committed
// at once.
TEST_F(PageBufferMemoryTest, EveryRangeEndIsCrossedByEveryCall) {
  struct Row {
    ULONGLONG end;
    ULONGLONG limit;
    ULONGLONG room;  // what the limit leaves
  };
  std::vector<Row> rows;
  const ULONGLONG limits[] = {kTop, ~0ull, ~0ull - kStep + 2, 1ull << 63, kTop + 2};
  for (int k = 0; k < 12; ++k) rows.push_back({kMiB << k, limits[k % 5], 4096 * kMiB});
  rows.push_back({4 * kMiB, 5 * kMiB + 1, 6 * kMiB});
  for (const Row& row : rows) {
    SCOPED_TRACE("range end " + Hex(row.end) + ", limit " + Hex(row.limit));
    const ULONGLONG at = row.end - 100;
    const std::vector<BYTE> pattern = Pattern(300);
    ComRef<IStream> stream;
    ASSERT_EQ(S_OK, CreatePageBufferStream(row.limit, seam::kMemory, stream.put()));
    Resize(stream.get(), row.end - 50);
    SeekTo(stream.get(), at);
    ULONG count = 0;
    EXPECT_EQ(S_OK, stream->Write(pattern.data(), 300, &count));
    EXPECT_EQ(300u, count);
    ExpectHolds(at + 300, row.room);
    SeekTo(stream.get(), at);
    EXPECT_EQ(pattern, Take(stream.get(), 400));
    SeekFromEnd(stream.get(), -200);  // to the range end
    EXPECT_EQ(std::vector<BYTE>(pattern.begin() + 100, pattern.end()), Take(stream.get(), 400));
    SeekTo(stream.get(), at);
    EXPECT_EQ(pattern, Copy(stream.get(), 400));
    // Down across the end and up again: what lay past the smaller size is 0.
    Resize(stream.get(), row.end - 10);
    ExpectHolds(row.end - 10, row.room);
    Resize(stream.get(), at + 300);
    ExpectHolds(at + 300, row.room);
    SeekTo(stream.get(), at);
    std::vector<BYTE> expected(pattern.begin(), pattern.begin() + 90);
    expected.resize(300, 0);
    EXPECT_EQ(expected, Take(stream.get(), 300));
  }
}

// The largest stream, which any limit from 4 GB up gives, ends at 4 GB less
// one byte: there a write ends and SetSize reaches, one byte more is refused;
// reads and CopyTo stop at it.
TEST_F(PageBufferMemoryTest, TheLargestStreamEndsOneByteShortOfFourGigabytes) {
  const std::vector<BYTE> pattern = Pattern(101);
  ComRef<IStream> stream;
  ASSERT_EQ(S_OK, CreatePageBufferStream(~0ull, seam::kMemory, stream.put()));
  Resize(stream.get(), kTop);
  ExpectHolds(kTop);
  Resize(stream.get(), kTop + 1, STG_E_INVALIDFUNCTION);
  Resize(stream.get(), kTop - 50);
  SeekFromEnd(stream.get(), -50);
  ULONG count = 7;
  EXPECT_EQ(STG_E_MEDIUMFULL, stream->Write(pattern.data(), 101, &count));
  EXPECT_EQ(0u, count);
  EXPECT_EQ(kTop - 50, Size(stream.get()));
  EXPECT_EQ(S_OK, stream->Write(pattern.data(), 100, &count));
  EXPECT_EQ(kTop, Size(stream.get()));
  SeekFromEnd(stream.get(), -100);
  const std::vector<BYTE> last(pattern.begin(), pattern.begin() + 100);
  EXPECT_EQ(last, Take(stream.get(), 300));
  SeekFromEnd(stream.get(), -100);
  EXPECT_EQ(last, Copy(stream.get(), 300));
}

// A reserve, commit or decommit that fails: a grown stream is left as it
// was, memory and all; a shrunk one still reads zeros past its size. Then
// the same call succeeds.
TEST_F(PageBufferMemoryTest, FailedReserveCommitOrDecommitLeavesTheStreamWhole) {
  struct Row {
    const char* name;
    DWORD type;  // the kind of call that fails
    int after;   // calls of that kind that succeed first
    ULONGLONG from, to;
    bool write;  // grown by Write, else by SetSize
    HRESULT result;
  };
  const Row rows[] = {
      {"first new range, reserve", MEM_RESERVE, 0, kMiB / 2, 3 * kMiB / 2, true, E_OUTOFMEMORY},
      {"third new range, reserve", MEM_RESERVE, 2, 3 * kMiB / 2, 9 * kMiB, false, E_OUTOFMEMORY},
      {"first commit", MEM_COMMIT, 0, kMiB / 2, 3 * kMiB / 2, false, E_OUTOFMEMORY},
      {"second commit", MEM_COMMIT, 1, 3 * kMiB / 2, 5 * kMiB, true, E_OUTOFMEMORY},
      {"decommit", MEM_DECOMMIT, 0, 7 * kMiB / 2, 23 * kMiB / 10, false, S_OK},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::vector<BYTE> page = Pattern(static_cast<size_t>(std::max(row.from, row.to)));
    ComRef<IStream> stream;
    ASSERT_EQ(S_OK, CreatePageBufferStream(kTop, seam::kMemory, stream.put()));
    ULONG count = 0;
    ASSERT_EQ(S_OK, stream->Write(page.data(), static_cast<ULONG>(row.from), &count));
    seam::failType = row.type;
    seam::failAfter = row.after;
    const ULONG more = static_cast<ULONG>(row.to - row.from);
    count = 7;
    if (row.write) {
      EXPECT_EQ(row.result, stream->Write(page.data() + row.from, more, &count));
      EXPECT_EQ(0u, count);
    } else {
      Resize(stream.get(), row.to, row.result);
    }
    seam::failType = 0;
    EXPECT_EQ(row.from, Position(stream.get()));
    EXPECT_EQ(row.result == S_OK ? row.to : row.from, Size(stream.get()));
    ExpectHolds(row.from);
    // The bytes below the smaller size are the page's, the rest zeros.
    Resize(stream.get(), row.from);
    SeekTo(stream.get(), 0);
    std::vector<BYTE> expected(page.begin(), page.begin() + std::min(row.from, row.to));
    expected.resize(row.from, 0);
    EXPECT_TRUE(expected == Take(stream.get(), static_cast<ULONG>(row.from)));
    Resize(stream.get(), row.to);
    ExpectHolds(row.to);
  }
  // The first range, at creation.
  seam::failType = MEM_RESERVE;
  seam::failAfter = 0;
  IStream* stream = reinterpret_cast<IStream*>(1);
  EXPECT_EQ(E_OUTOFMEMORY, CreatePageBufferStream(kTop, seam::kMemory, &stream));
  EXPECT_EQ(nullptr, stream);
}

// Clones made and released on several threads at once share the memory
// with the stream: it stays while the stream lives and goes with it.
TEST_F(PageBufferMemoryTest, ClonesComeAndGoOnManyThreadsAtOnce) {
  ComRef<IStream> stream;
  ASSERT_EQ(S_OK, CreatePageBufferStream(kTop, seam::kMemory, stream.put()));
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int thread = 0; thread < 4; ++thread) {
    threads.emplace_back([&stream, &failures] {
      IStream* clones[16];
      for (int round = 0; round < 100000; ++round) {
        for (IStream*& clone : clones) failures += stream->Clone(&clone) == S_OK ? 0 : 1;
        for (IStream* clone : clones) {
          if (clone) clone->Release();
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, failures);
  EXPECT_EQ(1u, seam::reservations.size());
  stream.reset();
}

}  // namespace
