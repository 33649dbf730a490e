#include <gtest/gtest.h>

#include <tesk/tesk.h>
#include <tesk/win32/windows.h>

#include "tesk_testing.h"

namespace {

TEST(TeskUser, ExportsTheTwentyInterfaceIdentifiers) {
  struct Exported {
    const IID* iid;
    BYTE xx;
  };
#define TESK_EXPORTED(xx, name) {&IID_##name, xx},
  const Exported exported[] = {TESK_INTERFACE_IDENTIFIERS(TESK_EXPORTED)};
#undef TESK_EXPORTED
  ASSERT_EQ(std::size(exported), 20u);
  for (const Exported& e : exported) {
    EXPECT_EQ(e.iid->Data1, 0x88E1C000u | e.xx);
    EXPECT_EQ(*e.iid, tesk::TeskIdentifier(e.xx));
  }
  WCHAR text[39];
  ASSERT_EQ(StringFromGUID2(IID_ITeskOperation2, text, 39), 39);
  const char expected[] = "{88E1C0B5-5884-11D3-A2C7-00A0CC503482}";
  for (int i = 0; i < 39; ++i) EXPECT_EQ(text[i], static_cast<WCHAR>(expected[i])) << i;
}

TEST(TeskUser, ServesNoClass) {
  HMODULE user = GetModuleHandleA("libteskuser.so");
  ASSERT_NE(user, nullptr);
  auto can_unload = tesk::win32::GetProcAddressAs<LPFNCANUNLOADNOW>(user, "DllCanUnloadNow");
  auto get_class = tesk::win32::GetProcAddressAs<LPFNGETCLASSOBJECT>(user, "DllGetClassObject");
  ASSERT_NE(can_unload, nullptr);
  ASSERT_NE(get_class, nullptr);
  EXPECT_EQ(can_unload(), S_FALSE);
  void* out = reinterpret_cast<void*>(0x1234);
  EXPECT_TRUE(FAILED(get_class(CLSID_Tesk, IID_IClassFactory, &out)));
  EXPECT_EQ(out, reinterpret_cast<void*>(0x1234));
}

// Loading teskuser initialised COM on the loading thread, so an application may create
// objects at once.
TEST(TeskUser, InitialisedComOnTheLoadingThread) {
  EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
  CoUninitialize();
}

}  // namespace
