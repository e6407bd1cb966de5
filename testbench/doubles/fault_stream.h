// FaultStream: the test bench's one stream double. It passes every call to a
// real stream (by default a new memory stream of the platform) and can be
// told to behave as an application's or a driver's stream may: fail a chosen
// call, take writes in small parts, report more than it took, move its
// position on SetSize, report another size. It counts and logs every call,
// so a test can see what its callers did.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <vector>

#include "com_ref.h"
#include "forwarding_stream.h"
#include "test_object.h"

enum class StreamCall {
  Read,
  Write,
  Seek,
  SetSize,
  CopyTo,
  Commit,
  Revert,
  LockRegion,
  UnlockRegion,
  Stat,
  Clone,
  Any,  // with Fail: counted over every call but the three of IUnknown
};

// "Read", "Write", ...
const char* StreamCallName(StreamCall call);

class FaultStream final : public ForwardingStream<FaultStream>, public TestObject<FaultStream> {
 public:
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefObject(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseObject(); }
  static constexpr unsigned kEveryCall = ~0u;

  // Over a new memory stream holding `bytes`, positioned at 0; null when
  // none can be made.
  static ComRef<FaultStream> Create(const std::vector<BYTE>& bytes = {});
  // Over `target`, a stream of the caller's (a file, say).
  static ComRef<FaultStream> Over(IStream* target);

  // Call number k (1-based) of the kind `call` answers `result` and does
  // nothing else, but a failing Write first takes `keep` bytes and reports
  // them. k = 0 fails nothing, kEveryCall every call of the kind.
  void Fail(StreamCall call, unsigned k, HRESULT result, ULONG keep = 0) {
    failCall_ = call;
    failAt_ = k;
    failure_ = result;
    failKeep_ = keep;
  }
  // Every Write takes at most `bytes` and answers S_OK (0: all).
  void TakeAtMost(ULONG bytes) { takeAtMost_ = bytes; }
  // Every Write and Read reports `extra` bytes more than it moved.
  void OverReport(ULONG extra) { overReport_ = extra; }
  // SetSize moves the position to the new size, as a careless stream may.
  void MoveOnSetSize() { moveOnSetSize_ = true; }
  // Stat reports a size of `bytes` (0: the real size).
  void ReportSize(ULONGLONG bytes) { reportedSize_ = bytes; }

  unsigned Calls(StreamCall call = StreamCall::Any) const;
  // Every call so far, in order.
  const std::vector<StreamCall>& Log() const { return log_; }
  // The call that was failed, or null.
  const char* FailedCall() const { return failed_ ? StreamCallName(failedCall_) : nullptr; }
  // The bytes each Write was offered, in order.
  const std::vector<ULONG>& WriteSizes() const { return writeSizes_; }
  // Writes that ended past the stream's end, growing it.
  unsigned Growths() const { return growths_; }
  // Reads that started past the end. The platform's memory stream under
  // Wine copies from beyond its block there; Windows reads nothing. This
  // stream records each such read and reads nothing.
  unsigned ReadsPastEnd() const { return readsPastEnd_; }
  // Everything the stream holds, from position 0, without moving its position.
  std::vector<BYTE> Contents() const { return StreamBytes(Target()); }

  // What a stream holds from position 0, its position left where it was.
  static std::vector<BYTE> StreamBytes(IStream* stream);

  HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override;
  HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override;
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                                 ULARGE_INTEGER* plibNewPosition) override;
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER libNewSize) override;
  HRESULT STDMETHODCALLTYPE CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                                   ULARGE_INTEGER* pcbWritten) override;
  HRESULT STDMETHODCALLTYPE Commit(DWORD grfCommitFlags) override;
  HRESULT STDMETHODCALLTYPE Revert() override;
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb,
                                       DWORD dwLockType) override;
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER libOffset, ULARGE_INTEGER cb,
                                         DWORD dwLockType) override;
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* pstatstg, DWORD grfStatFlag) override;
  HRESULT STDMETHODCALLTYPE Clone(IStream** ppstm) override;

 private:
  friend class TestObject<FaultStream>;
  explicit FaultStream(ComRef<IStream> target) : ForwardingStream(std::move(target)) {
    AddRefObject();
  }
  ~FaultStream() = default;

  using Base = ForwardingStream<FaultStream>;
  // Counts and logs a call; true when it is the one to fail.
  bool Fails(StreamCall call);
  // The failure, when this call is the one to fail; else what `forward` gives.
  template <typename Forward>
  HRESULT Answer(StreamCall call, Forward forward) {
    return Target() && Fails(call) ? failure_ : forward();
  }
  ULONGLONG Position() const;
  ULONGLONG Size() const;

  StreamCall failCall_ = StreamCall::Any;
  unsigned failAt_ = 0;
  HRESULT failure_ = S_OK;
  ULONG failKeep_ = 0;
  ULONG takeAtMost_ = 0;
  ULONG overReport_ = 0;
  bool moveOnSetSize_ = false;
  ULONGLONG reportedSize_ = 0;
  bool failed_ = false;
  StreamCall failedCall_ = StreamCall::Any;
  std::vector<StreamCall> log_;
  std::vector<ULONG> writeSizes_;
  unsigned growths_ = 0;
  unsigned readsPastEnd_ = 0;
};
