// The page as AdjustImage itself makes it, for comparing with what a transfer
// delivered. For GoogleTest tests that link vantrel_adjust.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "adjust.h"
#include "com_ref.h"
#include "fault_stream.h"

inline std::vector<BYTE> AdjustedCopy(LONG brightness, LONG contrast,
                                      const std::vector<BYTE>& page) {
  ComRef<IStream> input;
  ComRef<IStream> output;
  ULONG written = 0;
  ULONG64 size = 0;
  if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, input.put())) ||
      FAILED(CreateStreamOnHGlobal(nullptr, TRUE, output.put())) ||
      FAILED(input->Write(page.data(), static_cast<ULONG>(page.size()), &written)) ||
      FAILED(AdjustImage(brightness, contrast, input.get(), output.get(), &size, 0, 0, 0, 0))) {
    ADD_FAILURE() << "AdjustImage could not adjust the page";
    return {};
  }
  return FaultStream::StreamBytes(output.get());
}
