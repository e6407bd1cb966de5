// The filter as it was built before it had a page buffer of its own: the page
// is held in a memory stream of the platform. Linked into Vantrel-hglobal.dll
// in place of the page buffer stream, so that the benchmark can set the two
// builds side by side; never part of the product.
#include <windows.h>
#include <objidl.h>

#include "page_buffer_stream.h"

HRESULT CreatePageBufferStream(IStream** stream) {
  return CreateStreamOnHGlobal(nullptr, TRUE, stream);
}
