// The mapping of GDI+ statuses to HRESULTs.
#include "adjust_gdiplus.h"

using Gdiplus::Status;

HRESULT GdiplusStatusToHresult(Status status) {
  switch (status) {
    case Gdiplus::Ok: return S_OK;
    case Gdiplus::GenericError: return E_FAIL;
    case Gdiplus::InvalidParameter: return E_INVALIDARG;
    case Gdiplus::OutOfMemory: return E_OUTOFMEMORY;
    case Gdiplus::ObjectBusy: return E_PENDING;
    case Gdiplus::InsufficientBuffer: return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    case Gdiplus::NotImplemented: return E_NOTIMPL;
    case Gdiplus::Win32Error: {
      const HRESULT error = static_cast<HRESULT>(GetLastError());
      if (error <= 0) return error;
      return static_cast<HRESULT>((static_cast<ULONG>(error) & 0xFFFF) | 0x80070000UL);
    }
    case Gdiplus::WrongState: return E_FAIL;
    case Gdiplus::Aborted: return E_ABORT;
    case Gdiplus::FileNotFound: return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    case Gdiplus::ValueOverflow: return E_FAIL;
    case Gdiplus::AccessDenied: return E_ACCESSDENIED;
    case Gdiplus::UnknownImageFormat: return HRESULT_FROM_WIN32(ERROR_INVALID_PIXEL_FORMAT);
    default: return E_FAIL;
  }
}

HRESULT GdiplusFailureToHresult(Status status) {
  const HRESULT hr = GdiplusStatusToHresult(status);
  return FAILED(hr) ? hr : E_FAIL;
}
