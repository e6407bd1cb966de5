// WriteGreyBmp: a top-down 8-bit BMP file with a 256-level grey palette.
#include "adjust_internal.h"
#include "page_writer.h"

HRESULT WriteGreyBmp(const RowSource& rows, IStream* destination, const CropRect& crop,
                     BITMAPINFOHEADER* header, ULONG64* byteCount) {
  if (!destination || !rows || !header) return E_INVALIDARG;
  if (!byteCount) return E_POINTER;

  UINT32 rowBytes, imageBytes;
  HRESULT hr = GreyOutputSize(crop, &rowBytes, &imageBytes);
  if (FAILED(hr)) return hr;
  const LONG width = crop.right - crop.left;
  const LONG height = crop.bottom - crop.top;

  // The file carries exactly the 40-byte info header, whatever the input had.
  header->biSize = sizeof(BITMAPINFOHEADER);
  header->biWidth = width;
  header->biHeight = height;
  header->biClrUsed = 256;
  header->biSizeImage = imageBytes;

  RGBQUAD palette[256];
  for (int i = 0; i < 256; ++i) {
    palette[i] = RGBQUAD{static_cast<BYTE>(i), static_cast<BYTE>(i), static_cast<BYTE>(i), 0};
  }
  BITMAPFILEHEADER file = {};
  file.bfType = 0x4D42;  // "BM"
  file.bfSize = imageBytes + kGreyBitsOffset;
  file.bfOffBits = kGreyBitsOffset;

  PageWriter out(destination, byteCount);
  hr = out.Start(file.bfSize);
  if (FAILED(hr)) return hr;
  hr = out.Write(&file, sizeof(file));
  if (FAILED(hr)) return hr;
  header->biHeight = -header->biHeight;  // top-down
  hr = out.Write(header, sizeof(*header));
  if (FAILED(hr)) return hr;
  hr = out.Write(palette, sizeof(palette));
  if (FAILED(hr)) return hr;
  for (LONG r = 0; r < height; ++r) {
    const BYTE* row = nullptr;
    hr = rows(static_cast<UINT32>(r), &row);
    if (FAILED(hr)) return hr;
    hr = out.Write(row, rowBytes);
    if (FAILED(hr)) return hr;
  }
  return hr;
}
