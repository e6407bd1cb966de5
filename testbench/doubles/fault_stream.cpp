#include "fault_stream.h"

#include <algorithm>
#include <new>

const char* StreamCallName(StreamCall call) {
  static const char* const kNames[] = {"Read",         "Write",  "Seek",   "SetSize",
                                       "CopyTo",       "Commit", "Revert", "LockRegion",
                                       "UnlockRegion", "Stat",   "Clone",  "Any"};
  return kNames[static_cast<int>(call)];
}

ComRef<FaultStream> FaultStream::Create(const std::vector<BYTE>& bytes) {
  ComRef<IStream> memory;
  if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, memory.put()))) return ComRef<FaultStream>();
  ULONG written = 0;
  if (!bytes.empty() &&
      (FAILED(memory->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written)) ||
       written != bytes.size())) {
    return ComRef<FaultStream>();
  }
  const LARGE_INTEGER zero = {};
  memory->Seek(zero, STREAM_SEEK_SET, nullptr);
  return ComRef<FaultStream>::adopt(new (std::nothrow) FaultStream(std::move(memory)));
}

ComRef<FaultStream> FaultStream::Over(IStream* target) {
  return ComRef<FaultStream>::adopt(new (std::nothrow) FaultStream(ComRef<IStream>::copy(target)));
}

std::vector<BYTE> FaultStream::StreamBytes(IStream* stream) {
  std::vector<BYTE> bytes;
  ULARGE_INTEGER position = {};
  STATSTG stat = {};
  const LARGE_INTEGER zero = {};
  if (!stream || FAILED(stream->Seek(zero, STREAM_SEEK_CUR, &position)) ||
      FAILED(stream->Stat(&stat, STATFLAG_NONAME))) {
    return bytes;
  }
  bytes.resize(static_cast<size_t>(stat.cbSize.QuadPart));
  ULONG read = 0;
  if (SUCCEEDED(stream->Seek(zero, STREAM_SEEK_SET, nullptr)) && !bytes.empty()) {
    stream->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read);
  }
  bytes.resize(read);
  LARGE_INTEGER back = {};
  back.QuadPart = static_cast<LONGLONG>(position.QuadPart);
  stream->Seek(back, STREAM_SEEK_SET, nullptr);
  return bytes;
}

unsigned FaultStream::Calls(StreamCall call) const {
  if (call == StreamCall::Any) return static_cast<unsigned>(log_.size());
  return static_cast<unsigned>(std::count(log_.begin(), log_.end(), call));
}

bool FaultStream::Fails(StreamCall call) {
  log_.push_back(call);
  if (failAt_ == 0 || (failCall_ != StreamCall::Any && failCall_ != call)) return false;
  if (failAt_ != kEveryCall && Calls(failCall_) != failAt_) return false;
  failed_ = true;
  failedCall_ = call;
  return true;
}

ULONGLONG FaultStream::Position() const {
  ULARGE_INTEGER position = {};
  const LARGE_INTEGER zero = {};
  Target()->Seek(zero, STREAM_SEEK_CUR, &position);
  return position.QuadPart;
}

ULONGLONG FaultStream::Size() const {
  STATSTG stat = {};
  Target()->Stat(&stat, STATFLAG_NONAME);
  return stat.cbSize.QuadPart;
}

HRESULT STDMETHODCALLTYPE FaultStream::Read(void* pv, ULONG cb, ULONG* pcbRead) {
  if (!Target()) return Closed(pcbRead);
  if (Fails(StreamCall::Read)) {
    if (pcbRead) *pcbRead = 0;
    return failure_;
  }
  if (Position() > Size()) {
    ++readsPastEnd_;
    if (pcbRead) *pcbRead = 0;
    return S_OK;
  }
  const HRESULT hr = Target()->Read(pv, cb, pcbRead);
  if (pcbRead) *pcbRead += overReport_;
  return hr;
}

HRESULT STDMETHODCALLTYPE FaultStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten) {
  if (!Target()) return Closed(pcbWritten);
  writeSizes_.push_back(cb);
  ULONG taken = 0;
  if (Fails(StreamCall::Write)) {
    if (failKeep_ > 0) Target()->Write(pv, std::min(failKeep_, cb), &taken);
    if (pcbWritten) *pcbWritten = taken;
    return failure_;
  }
  const ULONG offered = takeAtMost_ != 0 ? std::min(takeAtMost_, cb) : cb;
  if (Position() + offered > Size()) ++growths_;
  const HRESULT hr = Target()->Write(pv, offered, &taken);
  if (pcbWritten) *pcbWritten = taken + overReport_;
  return hr;
}

HRESULT STDMETHODCALLTYPE FaultStream::Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                                            ULARGE_INTEGER* plibNewPosition) {
  return Answer(StreamCall::Seek, [&] { return Base::Seek(dlibMove, dwOrigin, plibNewPosition); });
}

HRESULT STDMETHODCALLTYPE FaultStream::SetSize(ULARGE_INTEGER libNewSize) {
  const HRESULT hr = Answer(StreamCall::SetSize, [&] { return Base::SetSize(libNewSize); });
  if (SUCCEEDED(hr) && moveOnSetSize_) {
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(libNewSize.QuadPart);
    Target()->Seek(end, STREAM_SEEK_SET, nullptr);
  }
  return hr;
}

HRESULT STDMETHODCALLTYPE FaultStream::CopyTo(IStream* pstm, ULARGE_INTEGER cb,
                                              ULARGE_INTEGER* pcbRead, ULARGE_INTEGER* pcbWritten) {
  return Answer(StreamCall::CopyTo, [&] { return Base::CopyTo(pstm, cb, pcbRead, pcbWritten); });
}

HRESULT STDMETHODCALLTYPE FaultStream::Commit(DWORD flags) {
  return Answer(StreamCall::Commit, [&] { return Base::Commit(flags); });
}

HRESULT STDMETHODCALLTYPE FaultStream::Revert() {
  return Answer(StreamCall::Revert, [&] { return Base::Revert(); });
}

HRESULT STDMETHODCALLTYPE FaultStream::LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb,
                                                  DWORD type) {
  return Answer(StreamCall::LockRegion, [&] { return Base::LockRegion(offset, cb, type); });
}

HRESULT STDMETHODCALLTYPE FaultStream::UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER cb,
                                                    DWORD type) {
  return Answer(StreamCall::UnlockRegion, [&] { return Base::UnlockRegion(offset, cb, type); });
}

HRESULT STDMETHODCALLTYPE FaultStream::Stat(STATSTG* pstatstg, DWORD grfStatFlag) {
  const HRESULT hr = Answer(StreamCall::Stat, [&] { return Base::Stat(pstatstg, grfStatFlag); });
  if (SUCCEEDED(hr) && pstatstg && reportedSize_ != 0) pstatstg->cbSize.QuadPart = reportedSize_;
  return hr;
}

HRESULT STDMETHODCALLTYPE FaultStream::Clone(IStream** ppstm) {
  if (Target() && Fails(StreamCall::Clone)) {
    if (ppstm) *ppstm = nullptr;
    return failure_;
  }
  return Base::Clone(ppstm);
}
