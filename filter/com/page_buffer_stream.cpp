#include "page_buffer_stream.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "com_ref.h"
#include "library_object.h"

namespace {

const PageBufferMemory kPlatformMemory = {VirtualAlloc, VirtualFree};

ULONGLONG RoundUpToCommitStep(ULONGLONG bytes) {
  return (bytes + kPageBufferCommitStep - 1) / kPageBufferCommitStep * kPageBufferCommitStep;
}

// The low 32 bits of a seek's move, as a signed value: an HGLOBAL stream keeps
// 32-bit positions and reads the move that way.
LONGLONG LowMove(LARGE_INTEGER move) {
  const LONGLONG low = move.QuadPart & 0xFFFFFFFFLL;
  return low >= 0x80000000LL ? low - 0x100000000LL : low;
}

// CopyTo moves the bytes through a buffer of this size, one Write per piece,
// as an HGLOBAL stream does: the pieces are what the destination sees.
constexpr ULONG kCopyPiece = 128;

// The memory is held in address ranges reserved one after another as the
// stream grows, each as large as all before it together: range 0 holds the
// first commit step, range k (k >= 1) the bytes from step << (k - 1) to
// step << k. Thirteen ranges hold 4 GB; a stream of N bytes has reserved less
// than 2N plus one step of address space, and nothing it holds ever moves.
constexpr int kRanges = 13;

ULONGLONG RangeStart(int k) { return k == 0 ? 0 : kPageBufferCommitStep << (k - 1); }
ULONGLONG RangeEnd(int k) { return kPageBufferCommitStep << k; }
// The range that holds `offset` (below 4 GB).
int RangeOf(ULONGLONG offset) {
  int k = 0;
  while (offset >= RangeEnd(k)) ++k;
  return k;
}

// The memory that a stream and its clones share. Within each range, memory is
// committed from its start in commit steps, up to the stream's size rounded up
// to the next step; ranges wholly past the size are released (range 0 stays
// reserved). Committed bytes from the size on are zero.
class PageBlock {
 public:
  // One reference owned by the caller, or null when the first range cannot be
  // reserved. The block holds at most `limitBytes` (rounded up to the commit
  // step, at most 4 GB; capped before rounding, so no limit wraps around).
  static PageBlock* Create(ULONGLONG limitBytes, const PageBufferMemory& memory) {
    const ULONGLONG limit =
        RoundUpToCommitStep(std::min(std::max<ULONGLONG>(limitBytes, 1), kPageBufferMaxSize));
    PageBlock* block = new (std::nothrow) PageBlock(limit, memory);
    if (block && !block->Reserve(0)) {
      delete block;
      return nullptr;
    }
    return block;
  }
  PageBlock(const PageBlock&) = delete;
  PageBlock& operator=(const PageBlock&) = delete;

  void AddRef() { InterlockedIncrement(&references_); }
  void Release() {
    if (InterlockedDecrement(&references_) == 0) delete this;
  }

  ULONGLONG Size() const { return size_; }

  // Copies between the block and a buffer; the bytes lie below the size.
  void CopyOut(ULONGLONG offset, void* to, size_t count) const {
    BYTE* out = static_cast<BYTE*>(to);
    ForEachPiece(offset, count, [&out](BYTE* piece, size_t length) {
      std::memcpy(out, piece, length);
      out += length;
    });
  }
  void CopyIn(ULONGLONG offset, const void* from, size_t count) {
    const BYTE* in = static_cast<const BYTE*>(from);
    ForEachPiece(offset, count, [&in](BYTE* piece, size_t length) {
      std::memcpy(piece, in, length);
      in += length;
    });
  }

  // Sets the size, committing what a larger size needs and giving back what a
  // smaller one no longer needs. On failure nothing changes.
  HRESULT Resize(ULONGLONG newSize) {
    if (newSize > limit_) return E_OUTOFMEMORY;
    if (newSize > size_) {
      if (!Commit(newSize)) {
        Trim(size_);
        return E_OUTOFMEMORY;
      }
    } else if (newSize < size_) {
      // What stays committed past the new size is cleared, the rest given
      // back; memory committed again later comes back zero.
      const ULONGLONG kept = std::min(size_, RoundUpToCommitStep(newSize));
      ForEachPiece(newSize, static_cast<size_t>(kept - newSize),
                   [](BYTE* piece, size_t length) { std::memset(piece, 0, length); });
      Trim(newSize);
    }
    size_ = newSize;
    return S_OK;
  }

 private:
  struct Range {
    BYTE* base = nullptr;
    ULONGLONG committed = 0;  // bytes from the range's start
  };

  PageBlock(ULONGLONG limit, const PageBufferMemory& memory) : memory_(memory), limit_(limit) {}
  ~PageBlock() {
    for (Range& range : ranges_) {
      if (range.base) memory_.virtualFree(range.base, 0, MEM_RELEASE);
    }
  }

  template <typename Function>
  void ForEachPiece(ULONGLONG offset, size_t count, Function function) const {
    while (count > 0) {
      const int k = RangeOf(offset);
      const size_t length = static_cast<size_t>(std::min<ULONGLONG>(count, RangeEnd(k) - offset));
      function(ranges_[k].base + (offset - RangeStart(k)), length);
      offset += length;
      count -= length;
    }
  }

  bool Reserve(int k) {
    const ULONGLONG bytes = std::min(RangeEnd(k), limit_) - RangeStart(k);
    ranges_[k].base = static_cast<BYTE*>(
        memory_.virtualAlloc(nullptr, static_cast<SIZE_T>(bytes), MEM_RESERVE, PAGE_NOACCESS));
    ranges_[k].committed = 0;
    return ranges_[k].base != nullptr;
  }

  // Reserves and commits what a size of `size` bytes needs.
  bool Commit(ULONGLONG size) {
    const ULONGLONG end = RoundUpToCommitStep(size);
    for (int k = 0; k < kRanges && RangeStart(k) < end; ++k) {
      Range& range = ranges_[k];
      if (!range.base && !Reserve(k)) return false;
      const ULONGLONG needed = std::min(end, RangeEnd(k)) - RangeStart(k);
      if (needed <= range.committed) continue;
      if (!memory_.virtualAlloc(range.base + range.committed,
                                static_cast<SIZE_T>(needed - range.committed), MEM_COMMIT,
                                PAGE_READWRITE)) {
        return false;
      }
      range.committed = needed;
    }
    return true;
  }

  // Gives back what a size of `size` bytes does not need.
  void Trim(ULONGLONG size) {
    const ULONGLONG end = RoundUpToCommitStep(size);
    for (int k = 0; k < kRanges; ++k) {
      Range& range = ranges_[k];
      if (!range.base) continue;
      if (k > 0 && RangeStart(k) >= size) {
        memory_.virtualFree(range.base, 0, MEM_RELEASE);
        range = Range();
        continue;
      }
      const ULONGLONG needed = end > RangeStart(k) ? std::min(end, RangeEnd(k)) - RangeStart(k) : 0;
      if (range.committed <= needed) continue;
      const SIZE_T extra = static_cast<SIZE_T>(range.committed - needed);
      if (memory_.virtualFree(range.base + needed, extra, MEM_DECOMMIT)) {
        range.committed = needed;
      } else {
        std::memset(range.base + needed, 0, extra);  // still committed: keep it zero
      }
    }
  }

  const PageBufferMemory memory_;
  const ULONGLONG limit_;
  Range ranges_[kRanges];
  ULONGLONG size_ = 0;
  LONG references_ = 1;
};

// A stream over a PageBlock with a position of its own. Every one of them,
// clones included, keeps the module loaded while it lives.
class PageBufferStream final : public IStream, public LibraryObject<PageBufferStream> {
 public:
  // Takes a reference of its own to `block`; reference count 1, owned by the
  // creator.
  PageBufferStream(PageBlock* block, ULONGLONG position) : block_(block), position_(position) {
    block_->AddRef();
    AddRefObject();
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
    return QueryInterfaceFrom(
        {{&IID_IUnknown, this}, {&IID_ISequentialStream, this}, {&IID_IStream, this}}, riid,
        ppvObject);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return AddRefObject(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseObject(); }
  HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override {
    ULONG ignored = 0;
    ULONG* count = pcbRead ? pcbRead : &ignored;
    // From the end on, and from past it, nothing is read.
    const ULONGLONG size = block_->Size();
    const ULONG n =
        position_ < size ? static_cast<ULONG>(std::min<ULONGLONG>(cb, size - position_)) : 0;
    if (n > 0 && !pv) {
      *count = 0;
      return STG_E_INVALIDPOINTER;
    }
    if (n > 0) block_->CopyOut(position_, pv, n);
    position_ += n;
    *count = n;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
    ULONG ignored = 0;
    ULONG* count = pcbWritten ? pcbWritten : &ignored;
    *count = 0;
    if (cb == 0) return S_OK;
    if (!pv) return STG_E_INVALIDPOINTER;
    const ULONGLONG end = position_ + cb;
    if (end > kPageBufferMaxSize) return STG_E_MEDIUMFULL;
    if (end > block_->Size()) {
      const HRESULT hr = block_->Resize(end);
      if (FAILED(hr)) return hr;
    }
    block_->CopyIn(position_, pv, cb);
    position_ = end;
    *count = cb;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                                 ULARGE_INTEGER* plibNewPosition) override {
    LONGLONG from = 0;
    HRESULT hr = S_OK;
    switch (dwOrigin) {
      case STREAM_SEEK_SET: from = 0; break;
      case STREAM_SEEK_CUR: from = static_cast<LONGLONG>(position_); break;
      case STREAM_SEEK_END: from = static_cast<LONGLONG>(block_->Size()); break;
      default: hr = STG_E_SEEKERROR; break;
    }
    if (SUCCEEDED(hr)) {
      const LONGLONG target = from + LowMove(dlibMove);
      // Before the start is an error; a position is kept in 32 bits.
      if (target < 0) {
        hr = STG_E_SEEKERROR;
      } else {
        position_ = static_cast<ULONGLONG>(target) & 0xFFFFFFFFull;
      }
    }
    // The position is reported also when the seek fails.
    if (plibNewPosition) plibNewPosition->QuadPart = position_;
    return hr;
  }
  HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER libNewSize) override {
    if (libNewSize.QuadPart > kPageBufferMaxSize) return STG_E_INVALIDFUNCTION;
    if (libNewSize.QuadPart == block_->Size()) return S_OK;
    return block_->Resize(libNewSize.QuadPart);
  }
  HRESULT STDMETHODCALLTYPE CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                                   ULARGE_INTEGER* pcbWritten) override {
    if (!pstm) return STG_E_INVALIDPOINTER;
    BYTE piece[kCopyPiece];
    ULONGLONG left = cb.QuadPart;
    ULONGLONG totalRead = 0;
    ULONGLONG totalWritten = 0;
    HRESULT hr = S_OK;
    // Piece by piece through Read and the destination's Write, so that a
    // destination that shares this memory (the stream itself, or a clone) sees
    // what it would see with an HGLOBAL stream.
    while (left > 0) {
      const ULONG wanted = static_cast<ULONG>(std::min<ULONGLONG>(left, kCopyPiece));
      ULONG read = 0;
      hr = Read(piece, wanted, &read);
      if (FAILED(hr)) break;
      totalRead += read;
      if (read > 0) {
        ULONG written = 0;
        hr = pstm->Write(piece, read, &written);
        if (FAILED(hr)) break;
        totalWritten += written;
      }
      if (read != wanted) break;
      left -= read;
    }
    if (pcbRead) pcbRead->QuadPart = totalRead;
    if (pcbWritten) pcbWritten->QuadPart = totalWritten;
    return hr;
  }
  HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Revert() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return STG_E_INVALIDFUNCTION;
  }
  HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Stat(STATSTG* pstatstg, DWORD) override {
    if (!pstatstg) return STG_E_INVALIDPOINTER;
    // No name, whatever the flag; every other byte but the type and size is 0.
    std::memset(pstatstg, 0, sizeof(*pstatstg));
    pstatstg->type = STGTY_STREAM;
    pstatstg->cbSize.QuadPart = block_->Size();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IStream** ppstm) override {
    if (!ppstm) return STG_E_INVALIDPOINTER;
    // The clone starts where this stream stands, as far as a seek from the
    // start can take it: a position of 2 GB or more is out of a seek's reach
    // and leaves the clone at 0.
    const ULONGLONG start = position_ < 0x80000000ull ? position_ : 0;
    *ppstm = new (std::nothrow) PageBufferStream(block_, start);
    return *ppstm ? S_OK : E_OUTOFMEMORY;
  }

 private:
  friend class LibraryObject<PageBufferStream>;
  ~PageBufferStream() { block_->Release(); }

  PageBlock* const block_;  // one reference
  ULONGLONG position_;      // 32-bit, as an HGLOBAL stream keeps it
};

}  // namespace

HRESULT CreatePageBufferStream(IStream** stream) {
  return CreatePageBufferStream(kPageBufferMaxSize, stream);
}

HRESULT CreatePageBufferStream(ULONGLONG limitBytes, IStream** stream) {
  return CreatePageBufferStream(limitBytes, kPlatformMemory, stream);
}

HRESULT CreatePageBufferStream(ULONGLONG limitBytes, const PageBufferMemory& memory,
                               IStream** stream) {
  if (!stream) return E_INVALIDARG;
  *stream = nullptr;
  PageBlock* block = PageBlock::Create(limitBytes, memory);
  if (!block) return E_OUTOFMEMORY;
  *stream = new (std::nothrow) PageBufferStream(block, 0);
  block->Release();  // the stream holds its own reference
  return *stream ? S_OK : E_OUTOFMEMORY;
}
