#include "module.h"

#include "image_filter.h"
#include "test_support.h"
#include "wia_published.h"

namespace {

// {B1C3A0D2-0000-4000-8000-00000000ABCD}: a class this library does not serve.
const CLSID kOtherClass = {0xB1C3A0D2, 0, 0x4000, {0x80, 0, 0, 0, 0, 0, 0xAB, 0xCD}};

class ClassFactoryTest : public ModuleCountTest,
                         public ::testing::WithParamInterface<const CLSID*> {
 protected:
  ComRef<IClassFactory> GetFactory() {
    ComRef<IClassFactory> factory;
    EXPECT_EQ(S_OK, DllGetClassObject(*GetParam(), IID_IClassFactory,
                                      reinterpret_cast<void**>(factory.put())));
    return factory;
  }
};

TEST_P(ClassFactoryTest, FactoryReferenceBlocksUnloadingUntilReleased) {
  auto factory = GetFactory();
  ASSERT_TRUE(factory);
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());
  factory.reset();
  EXPECT_EQ(S_OK, DllCanUnloadNow());
}

TEST_P(ClassFactoryTest, BothClassesGiveTheSameFactory) {
  ComRef<IUnknown> first;
  ComRef<IUnknown> second;
  ASSERT_EQ(S_OK, DllGetClassObject(CLSID_VantrelFilter, IID_IUnknown,
                                    reinterpret_cast<void**>(first.put())));
  ASSERT_EQ(S_OK,
            DllGetClassObject(*GetParam(), IID_IUnknown, reinterpret_cast<void**>(second.put())));
  EXPECT_EQ(first.get(), second.get());
  EXPECT_EQ(2, ModuleLockCount);
}

TEST_P(ClassFactoryTest, OnlyFactoryInterfacesAreServed) {
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, DllGetClassObject(*GetParam(), published::Ids().imageFilter, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(E_INVALIDARG, DllGetClassObject(*GetParam(), IID_IClassFactory, nullptr));
}

TEST_P(ClassFactoryTest, AddRefAndReleaseAlwaysAnswerTwoAndOne) {
  auto factory = GetFactory();
  for (int i = 0; i < 3; ++i) EXPECT_EQ(2u, factory->AddRef());
  EXPECT_EQ(4, ModuleLockCount);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(1u, factory->Release());
  EXPECT_EQ(1, ModuleLockCount);
}

TEST_P(ClassFactoryTest, LockServerCountsLocks) {
  auto factory = GetFactory();
  IClassFactory* raw = factory.get();
  factory.reset();
  EXPECT_EQ(S_OK, raw->LockServer(TRUE));
  EXPECT_EQ(S_OK, raw->LockServer(TRUE));
  EXPECT_EQ(S_OK, raw->LockServer(FALSE));
  EXPECT_EQ(1, ModuleLockCount);
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());
  EXPECT_EQ(S_OK, raw->LockServer(FALSE));
}

TEST_P(ClassFactoryTest, QueryInterfaceAnswersUnknownAndClassFactory) {
  auto factory = GetFactory();
  ExpectInterfaces(factory.get(),
                   {{&IID_IUnknown, factory.get()}, {&IID_IClassFactory, factory.get()}});
  EXPECT_EQ(1, ModuleLockCount);
}

TEST_P(ClassFactoryTest, CreateInstanceRefusesBadRequests) {
  auto factory = GetFactory();
  EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, IID_IUnknown, nullptr));
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(factory.get(), IID_IUnknown, &out));
  EXPECT_EQ(nullptr, out);
  out = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IStream, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(1, ModuleLockCount);
}

TEST_P(ClassFactoryTest, CreateInstanceHandsOutTheRequestedInterface) {
  auto factory = GetFactory();
  ComRef<IWiaTransferCallback> callback;
  ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, published::Ids().transferCallback,
                                          reinterpret_cast<void**>(callback.put())));
  EXPECT_EQ(1u, RefCountOf(callback.get()));
  ComRef<IWiaImageFilter> filter;
  ASSERT_EQ(S_OK, callback->QueryInterface(published::Ids().imageFilter,
                                           reinterpret_cast<void**>(filter.put())));
  EXPECT_EQ(static_cast<IWiaTransferCallback*>(static_cast<ImageFilter*>(filter.get())),
            callback.get());
  EXPECT_EQ(2, ModuleLockCount);
  filter.reset();
  callback.reset();
  EXPECT_EQ(1, ModuleLockCount);
}

INSTANTIATE_TEST_SUITE_P(ServedClasses, ClassFactoryTest,
                         ::testing::Values(&CLSID_VantrelFilter, &CLSID_VantrelFilterAlternate));

TEST(ClassObject, OtherClassesAreNotAvailable) {
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, DllGetClassObject(kOtherClass, IID_IClassFactory, &out));
  EXPECT_EQ(nullptr, out);
  // The pointer test comes first, whatever the class.
  EXPECT_EQ(E_INVALIDARG, DllGetClassObject(kOtherClass, IID_IClassFactory, nullptr));
  EXPECT_EQ(0, ModuleLockCount);
}

}  // namespace
