// Shared helpers for the COM class tests.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>
#include <objbase.h>

#include <initializer_list>
#include <utility>
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

// QueryInterface as the library's objects answer it: `nullAnswer` for a null
// out pointer; E_NOINTERFACE and a null pointer for IStorage, which none
// answers; for each identifier in `answered`, its expected pointer, whose
// own IUnknown is the object's one identity. Every reference handed out is
// given back (the test's end checks that nothing of the library is left).
inline void ExpectInterfaces(IUnknown* identity,
                             std::initializer_list<std::pair<const IID*, void*>> answered,
                             HRESULT nullAnswer = E_POINTER) {
  EXPECT_EQ(nullAnswer, identity->QueryInterface(IID_IUnknown, nullptr));
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, identity->QueryInterface(IID_IStorage, &out));
  EXPECT_EQ(nullptr, out);
  for (const auto& [iid, expected] : answered) {
    ComRef<IUnknown> got;
    ASSERT_EQ(S_OK, identity->QueryInterface(*iid, got.put_void()));
    EXPECT_EQ(expected, static_cast<void*>(got.get()));
    ComRef<IUnknown> unknown;
    ASSERT_EQ(S_OK, got->QueryInterface(IID_IUnknown, unknown.put_void()));
    EXPECT_EQ(identity, unknown.get());
  }
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
