// Shared helpers for the COM class tests.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>

#include <vector>

#include "com_ref.h"
#include "module.h"

// The current reference count of a COM object, as its own AddRef/Release report it.
inline ULONG RefCountOf(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

inline ComRef<IStream> MemoryStream() {
  ComRef<IStream> stream;
  EXPECT_EQ(S_OK, CreateStreamOnHGlobal(nullptr, TRUE, stream.put()));
  return stream;
}

inline HRESULT WriteAll(IStream* stream, const std::vector<BYTE>& bytes) {
  ULONG written = 0;
  return stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written);
}

// Every test starts and must end with nothing of the library alive.
class ModuleCountTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, ModuleLockCount); }
  void TearDown() override {
    EXPECT_EQ(0, ModuleLockCount);
    EXPECT_EQ(S_OK, DllCanUnloadNow());
  }
};
