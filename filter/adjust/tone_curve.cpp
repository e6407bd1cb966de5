// The 8-bit path: mean grey level, 256-entry tone table, table lookup.
#include <climits>
#include <utility>

#include "adjust_internal.h"
#include "stream_io.h"

HRESULT GreyOutputSize(const CropRect& crop, UINT32* rowBytes, UINT32* imageBytes)
{
    const LONGLONG width = static_cast<LONGLONG>(crop.right) - crop.left;
    const LONGLONG height = static_cast<LONGLONG>(crop.bottom) - crop.top;
    if (width <= 0 || height <= 0) return E_INVALIDARG;
    const ULONGLONG row = (static_cast<ULONGLONG>(width) + 3) & ~3ULL;
    const ULONGLONG image = row * static_cast<ULONGLONG>(height);
    // The file size (image plus headers and palette) must fit its 32-bit field.
    if (image > UINT_MAX - kGreyBitsOffset) return OverflowResult();
    *rowBytes = static_cast<UINT32>(row);
    *imageBytes = static_cast<UINT32>(image);
    return S_OK;
}

HRESULT CheckGreyLayout(const BITMAPINFOHEADER& info, const CropRect& crop, GreyLayout* layout)
{
    if (info.biWidth <= 0 || info.biHeight == 0 || info.biHeight == LONG_MIN) {
        return InvalidDataResult();
    }
    const UINT32 width = static_cast<UINT32>(info.biWidth);
    const UINT32 rows = static_cast<UINT32>(info.biHeight < 0 ? -info.biHeight : info.biHeight);

    UINT32 imageBytes = info.biSizeImage;
    UINT32 stride;
    if (imageBytes == 0) {
        // Allowed for uncompressed files: rows are padded to 4 bytes.
        const ULONGLONG row = (static_cast<ULONGLONG>(width) + 3) & ~3ULL;
        const ULONGLONG image = row * rows;
        if (image > UINT_MAX) return OverflowResult();
        stride = static_cast<UINT32>(row);
        imageBytes = static_cast<UINT32>(image);
    } else {
        // Every row must hold biWidth bytes inside the declared image.
        if (static_cast<ULONGLONG>(width) * rows > imageBytes) return InvalidDataResult();
        stride = imageBytes / rows;
    }

    UINT32 outRow, outImage;
    const HRESULT hr = GreyOutputSize(crop, &outRow, &outImage);
    if (FAILED(hr)) return hr;

    *layout = GreyLayout{width, rows, stride, imageBytes, outRow, outImage};
    return S_OK;
}

float MeanGreyLevel(const BYTE* pixels, UINT32 width, UINT32 rows, UINT32 stride)
{
    double sum = 0.0;
    for (UINT32 k = 0; k < rows; ++k) {
        const BYTE* row = pixels + static_cast<SIZE_T>(k) * stride;
        for (UINT32 j = 0; j < width; ++j) sum += row[j];
    }
    const UINT32 count = width * rows;
    const double divisor = static_cast<double>(static_cast<float>(count));
    return static_cast<float>(sum / divisor);
}

void BuildToneTable(float mean, LONG brightness, LONG contrast, BYTE table[256])
{
    const float factor = static_cast<float>(contrast) / 1000.0f + 1.0f;
    // 64-bit so that brightness values far outside -1000..1000 cannot overflow.
    const LONGLONG scale = static_cast<LONGLONG>(brightness) + 1000;
    for (int i = 0; i < 256; ++i) {
        const float t = (static_cast<float>(i) - mean) * factor + mean;
        LONGLONG n;
        if (!(t > 0.0f)) {
            n = 0;  // truncation of anything below 1 gives at most 0 (NaN too)
        } else if (t >= 256.0f) {
            n = 255;
        } else {
            n = static_cast<LONG>(t);
            if (n > 255) n = 255;
        }
        const LONGLONG q = n * scale / 1000;
        table[i] = static_cast<BYTE>(q < 0 ? 0 : (q > 255 ? 255 : q));
    }
}

HRESULT ApplyToneCurve(IStream* working, LONG brightness, LONG contrast, const CropRect& crop,
                       HeapBuffer* grey)
{
    if (!working || !grey) return E_INVALIDARG;

    BITMAPFILEHEADER file = {};
    BITMAPINFOHEADER info = {};
    HRESULT hr = SeekFromStart(working, 0);
    if (FAILED(hr)) return hr;
    hr = ReadBytes(working, &file, sizeof(file));
    if (FAILED(hr)) return hr;
    hr = ReadBytes(working, &info, sizeof(info));
    if (FAILED(hr)) return hr;

    GreyLayout layout;
    hr = CheckGreyLayout(info, crop, &layout);
    if (FAILED(hr)) return hr;

    HeapBuffer input = HeapBuffer::AllocateZeroed(layout.imageBytes);
    if (!input) return E_OUTOFMEMORY;
    // A stream shorter than the declared image leaves the rest of the buffer 0.
    hr = SeekFromStart(working, file.bfOffBits);
    if (FAILED(hr)) return hr;
    hr = ReadBytes(working, input.Get(), layout.imageBytes);
    if (FAILED(hr)) return hr;

    HeapBuffer output = HeapBuffer::AllocateZeroed(layout.outImageBytes);
    if (!output) return E_OUTOFMEMORY;

    BYTE table[256];
    BuildToneTable(MeanGreyLevel(input.Get(), layout.width, layout.rows, layout.stride),
                   brightness, contrast, table);

    // Output pixel (j, r) takes stored pixel (left + j, top + r); pixels outside
    // the stored image stay 0, as do the row padding bytes.
    const LONGLONG outWidth = static_cast<LONGLONG>(crop.right) - crop.left;
    const LONGLONG outHeight = static_cast<LONGLONG>(crop.bottom) - crop.top;
    LONGLONG firstColumn = -static_cast<LONGLONG>(crop.left);
    if (firstColumn < 0) firstColumn = 0;
    LONGLONG endColumn = static_cast<LONGLONG>(layout.width) - crop.left;
    if (endColumn > outWidth) endColumn = outWidth;
    for (LONGLONG r = 0; r < outHeight; ++r) {
        const LONGLONG sourceRow = crop.top + r;
        if (sourceRow < 0 || sourceRow >= layout.rows) continue;
        const BYTE* source = input.Get() + static_cast<SIZE_T>(sourceRow) * layout.stride;
        BYTE* target = output.Get() + static_cast<SIZE_T>(r) * layout.outRowBytes;
        for (LONGLONG j = firstColumn; j < endColumn; ++j) {
            target[j] = table[source[crop.left + j]];
        }
    }

    *grey = std::move(output);
    return S_OK;
}
