#include "page_room_stream.h"

#include <cstring>
#include <new>

#include "stream_io.h"

namespace {

// The page's size as its headers declare it, or 0 where they withhold the room.
ULONGLONG DeclaredSize(const BYTE* header) {
  BITMAPFILEHEADER file;
  BITMAPINFOHEADER info;
  std::memcpy(&file, header, sizeof(file));
  std::memcpy(&info, header + sizeof(file), sizeof(info));
  const WORD bits = info.biBitCount;
  const bool depth = bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
  const bool rows = info.biCompression == BI_RGB || info.biCompression == BI_BITFIELDS;
  if (file.bfType != 0x4D42 || info.biSize < sizeof(info) || info.biPlanes != 1 || !depth ||
      !rows || info.biWidth <= 0 || info.biHeight == 0 ||
      file.bfOffBits < sizeof(file) + static_cast<ULONGLONG>(info.biSize)) {
    return 0;
  }
  const ULONGLONG height =
      info.biHeight < 0 ? -static_cast<LONGLONG>(info.biHeight) : info.biHeight;
  const ULONGLONG rowBytes = (static_cast<ULONGLONG>(info.biWidth) * bits + 31) / 32 * 4;
  const ULONGLONG size = file.bfOffBits + rowBytes * height;
  return size == file.bfSize ? size : 0;
}

}  // namespace

bool PageRoomStream::Position(ULONGLONG* at) {
  if (!positionKnown_) {
    ULARGE_INTEGER position = {};
    const LARGE_INTEGER here = {};
    positionKnown_ = SUCCEEDED(target_->Seek(here, STREAM_SEEK_CUR, &position));
    position_ = position.QuadPart;
  }
  *at = position_;
  return positionKnown_;
}

bool PageRoomStream::Visible(ULONGLONG* size) {
  const PageRoomStream* page = Page();
  *size = page->end_ > page->oldSize_ ? page->end_ : page->oldSize_;
  return page->made_;
}

ULONGLONG PageRoomStream::WithinPage(ULONGLONG cb) {
  ULONGLONG size = 0;
  ULONGLONG at = 0;
  if (!Visible(&size) || !Position(&at)) return cb;
  return at >= size ? 0 : (cb < size - at ? cb : size - at);
}

HRESULT STDMETHODCALLTYPE PageRoomStream::Write(const void* pv, ULONG cb, ULONG* pcbWritten) {
  if (!target_) return Closed(pcbWritten);
  ULONGLONG at = 0;
  const bool known = Position(&at);
  ULONG taken = 0;
  HRESULT hr = target_->Write(pv, cb, &taken);
  if (taken > cb) taken = cb;
  if (known) hr = Page()->Wrote(target_.get(), at, pv, taken, hr);
  position_ = at + taken;
  positionKnown_ = known && SUCCEEDED(hr);  // a failed write may have moved it otherwise
  if (pcbWritten) *pcbWritten = taken;
  return hr;
}

HRESULT PageRoomStream::Wrote(IStream* stream, ULONGLONG at, const void* data, ULONG taken,
                              HRESULT hr) {
  if (!started_) {
    started_ = true;
    start_ = at;
  }
  // The headers only from bytes that arrive in order from the page's start.
  if (at == start_ + headerBytes_ && headerBytes_ < sizeof(header_)) {
    const ULONG more =
        taken < sizeof(header_) - headerBytes_ ? taken : sizeof(header_) - headerBytes_;
    std::memcpy(header_ + headerBytes_, data, more);
    headerBytes_ += more;
  }
  if (at + taken > end_) end_ = at + taken;
  if (FAILED(hr) || tried_ || headerBytes_ < sizeof(header_)) return hr;
  tried_ = true;
  const ULONGLONG declared = DeclaredSize(header_);
  STATSTG stat = {};
  if (declared == 0 || FAILED(stream->Stat(&stat, STATFLAG_NONAME))) return hr;
  oldSize_ = stat.cbSize.QuadPart;
  ULARGE_INTEGER room;
  room.QuadPart = start_ + declared;
  if (oldSize_ >= room.QuadPart || FAILED(stream->SetSize(room))) return hr;
  made_ = true;
  size_ = room.QuadPart;
  // A stream may move on SetSize: it is put back where the write ended.
  LARGE_INTEGER back;
  back.QuadPart = static_cast<LONGLONG>(at + taken);
  ULARGE_INTEGER there = {};
  const HRESULT seek = stream->Seek(back, STREAM_SEEK_SET, &there);
  if (SUCCEEDED(seek) && there.QuadPart == at + taken) return hr;
  End();
  return FAILED(seek) ? seek : STG_E_SEEKERROR;
}

void PageRoomStream::End() {
  PageRoomStream* page = Page();
  ULARGE_INTEGER size;
  if (Visible(&size.QuadPart) && page->end_ < page->size_ &&
      SUCCEEDED(page->target_->SetSize(size)) && page->positionKnown_) {
    // A stream may move on SetSize: it is put back where the writer left it.
    SeekFromStart(page->target_.get(), page->position_);
  }
  page->made_ = false;
}

HRESULT STDMETHODCALLTYPE PageRoomStream::Read(void* pv, ULONG cb, ULONG* pcbRead) {
  if (!target_) return Closed(pcbRead);
  ULONG read = 0;
  const ULONG want = static_cast<ULONG>(WithinPage(cb));
  const HRESULT hr = target_->Read(pv, want, &read);
  if (read > want) read = want;  // a count past what was asked is not believed
  position_ += read;
  positionKnown_ = positionKnown_ && SUCCEEDED(hr);
  if (pcbRead) *pcbRead = read;
  return hr;
}

HRESULT STDMETHODCALLTYPE PageRoomStream::Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                                               ULARGE_INTEGER* plibNewPosition) {
  if (!target_) return Closed(plibNewPosition);
  ULONGLONG size = 0;
  if (dwOrigin == STREAM_SEEK_END && Visible(&size)) {
    // The end the writer sees, not the room's.
    dwOrigin = STREAM_SEEK_SET;
    dlibMove.QuadPart += static_cast<LONGLONG>(size);
  }
  ULARGE_INTEGER position = {};
  const HRESULT hr = target_->Seek(dlibMove, dwOrigin, &position);
  positionKnown_ = SUCCEEDED(hr);
  position_ = position.QuadPart;
  if (plibNewPosition) *plibNewPosition = position;
  return hr;
}

HRESULT STDMETHODCALLTYPE PageRoomStream::SetSize(ULARGE_INTEGER libNewSize) {
  if (!target_) return E_POINTER;
  const HRESULT hr = target_->SetSize(libNewSize);
  if (SUCCEEDED(hr)) Page()->made_ = false;
  return hr;
}

HRESULT STDMETHODCALLTYPE PageRoomStream::CopyTo(IStream* pstm, ULARGE_INTEGER cb,
                                                 ULARGE_INTEGER* pcbRead,
                                                 ULARGE_INTEGER* pcbWritten) {
  if (!target_) return ForwardingStream::CopyTo(pstm, cb, pcbRead, pcbWritten);
  cb.QuadPart = WithinPage(cb.QuadPart);
  positionKnown_ = false;
  return target_->CopyTo(pstm, cb, pcbRead, pcbWritten);
}

HRESULT STDMETHODCALLTYPE PageRoomStream::Stat(STATSTG* pstatstg, DWORD grfStatFlag) {
  const HRESULT hr = ForwardingStream::Stat(pstatstg, grfStatFlag);
  ULONGLONG size = 0;
  if (SUCCEEDED(hr) && pstatstg && Visible(&size)) pstatstg->cbSize.QuadPart = size;
  return hr;
}

HRESULT STDMETHODCALLTYPE PageRoomStream::Clone(IStream** ppstm) {
  return CloneWith(ppstm, [this](ComRef<IStream> inner) {
    PageRoomStream* clone = new (std::nothrow) PageRoomStream(inner.get());
    if (clone) clone->page_ = ComRef<PageRoomStream>::copy(Page());
    return clone;
  });
}
