// The device object without a player: its name, the answers of its property table, the
// queries it supports, its opaque object and its identity.
#include <cstring>
#include <vector>

#include <gmock/gmock.h>

#include "gannet_test_support.h"

namespace gannet_test {
namespace {

using ::testing::Each;

class DeviceTest : public GannetTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(GannetTest::SetUp());
    device_ = Device();
    ASSERT_TRUE(device_);
  }
  void TearDown() override {
    device_ = nullptr;
    GannetTest::TearDown();
  }
  ComPtr<ISpdDevice> device_;
};

TEST_F(DeviceTest, NameIsCutToTheBuffer) {
  WCHAR name[32];
  std::memset(name, 0xAB, sizeof(name));
  ASSERT_EQ(device_->GetName(name, 32), S_OK);
  EXPECT_EQ(TextOf(name), "Holvenn Q41");
  EXPECT_EQ(name[31], 0) << "the whole buffer is cleared";

  std::memset(name, 0xAB, sizeof(name));
  ASSERT_EQ(device_->GetName(name, 5), S_OK);
  EXPECT_EQ(TextOf(name), "Holv");
  EXPECT_EQ(name[5], 0xABAB) << "nothing written past the size";

  EXPECT_EQ(device_->GetName(nullptr, 32), E_INVALIDARG);
  EXPECT_EQ(device_->GetName(name, 0), E_INVALIDARG);
}

// Fixed answers: identifier, kind, the value's bytes.
struct FixedAnswer {
  UINT id;
  UINT kind;
  std::vector<BYTE> value;
};

const FixedAnswer kFixedAnswers[] = {
    {SPD_PROP_VERSION, SpdKindDword, {0x00, 0x00, 0x00, 0x01}},
    {SPD_PROP_VENDOR_ID, SpdKindDword, {0x3D, 0x7A, 0x00, 0x00}},
    {SPD_PROP_POWER, SpdKindDword, {0x22, 0x00, 0x00, 0x00}},
    {SPD_PROP_ICON, SpdKindString, {0x00, 0x00}},
    {SPD_PROP_DEVICE_TYPE, SpdKindDword, {0x13, 0x00, 0x00, 0x00}},
    {SPD_PROP_PRESENT, SpdKindBool, {0x00}},
    {SPD_PROP_LOCAL_LOCK, SpdKindBool, {0x00}},
    {SPD_PROP_SIGNALS_CHANGE, SpdKindBool, {0x00}},
    {SPD_PROP_STATUS, SpdKindDword, {0x02, 0x00, 0x00, 0x00}},
    {SPD_PROP_STATUS, SpdKindBool, {0x02, 0x00, 0x00, 0x00}},  // any kind
};

TEST_F(DeviceTest, PropertiesAnswerTheirFixedValuesAndRefuseOtherKinds) {
  for (const FixedAnswer& answer : kFixedAnswers) {
    SCOPED_TRACE(::testing::Message() << "property " << answer.id << " kind " << answer.kind);
    BYTE out[16];
    std::memset(out, 0xEE, sizeof(out));
    ASSERT_EQ(device_->GetProperty(answer.id, 0, answer.kind, out, sizeof(out)), S_OK);
    EXPECT_EQ(std::vector<BYTE>(out, out + answer.value.size()), answer.value);
    EXPECT_THAT(std::vector<BYTE>(out + answer.value.size(), out + sizeof(out)), Each(0xEE));

    if (answer.id == SPD_PROP_STATUS) continue;
    for (UINT other : {SpdKindString, SpdKindDword, SpdKindBool, SpdKindGuid, SpdKindBlob}) {
      if (other == answer.kind) continue;
      std::memset(out, 0xEE, sizeof(out));
      EXPECT_EQ(device_->GetProperty(answer.id, 0, other, out, sizeof(out)), SPD_E_WRONGKIND) << other;
      EXPECT_THAT(out, Each(0xEE)) << "kind " << other << " touched the buffer";
    }
  }
}

TEST_F(DeviceTest, NameAndInstanceGuid) {
  WCHAR name[16];
  std::memset(name, 0xAB, sizeof(name));
  ASSERT_EQ(device_->GetProperty(SPD_PROP_NAME, 0, SpdKindString, name, sizeof(name)), S_OK);
  EXPECT_EQ(TextOf(name), "Holvenn Q41");
  // The size is in bytes here: 10 bytes hold four characters and the terminator.
  std::memset(name, 0xAB, sizeof(name));
  ASSERT_EQ(device_->GetProperty(SPD_PROP_NAME, 0, SpdKindString, name, 10), S_OK);
  EXPECT_EQ(TextOf(name), "Holv");
  EXPECT_EQ(name[5], 0xABAB);
  EXPECT_EQ(device_->GetProperty(SPD_PROP_NAME, 0, SpdKindDword, name, sizeof(name)), SPD_E_WRONGKIND);

  GUID first{}, second{};
  ASSERT_EQ(device_->GetProperty(SPD_PROP_INSTANCE_GUID, 0, SpdKindGuid, &first, sizeof(first)), S_OK);
  ASSERT_EQ(device_->GetProperty(SPD_PROP_INSTANCE_GUID, 0, SpdKindGuid, &second, sizeof(second)), S_OK);
  EXPECT_NE(first, second) << "a new GUID on every call";
  EXPECT_NE(first, GUID{});
}

TEST_F(DeviceTest, NoPlayerNoMediumAndASerialOfSpaces) {
  DWORD count = 99;
  ASSERT_EQ(Driver()->GetDeviceCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  ASSERT_EQ(device_->GetStorageCount(&count), S_OK);
  EXPECT_EQ(count, 0u);
  ComPtr<ISpdStorage> storage;
  EXPECT_EQ(device_->GetStorage(0, storage.Put()), E_INVALIDARG);
  EXPECT_FALSE(storage);

  // The blob goes with any kind.
  for (UINT kind : {SpdKindBlob, SpdKindDword}) {
    SpdBlob blob{sizeof(SpdBlob), nullptr, 0};
    ASSERT_EQ(device_->GetProperty(SPD_PROP_SERIAL, 0, kind, &blob, sizeof(blob)), S_OK);
    ASSERT_EQ(blob.cbData, 16u);
    ASSERT_NE(blob.pData, nullptr);
    EXPECT_THAT(std::vector<BYTE>(blob.pData, blob.pData + 16), Each(' '));
    CoTaskMemFree(blob.pData);
  }

  WCHAR maker[16];
  std::memset(maker, 0xAB, sizeof(maker));
  EXPECT_EQ(device_->GetProperty(SPD_PROP_MANUFACTURER, 0, SpdKindString, maker, sizeof(maker)), E_FAIL);
  EXPECT_THAT(maker, Each(0)) << "the buffer is left cleared";
}

TEST_F(DeviceTest, UnknownAndUnansweredProperties) {
  BYTE out[16];
  std::memset(out, 0xEE, sizeof(out));
  for (UINT id : {19u, 99u, 9u, 31u, 25u}) {
    EXPECT_EQ(device_->GetProperty(id, 0, SpdKindDword, out, sizeof(out)), E_NOTIMPL) << id;
  }
  EXPECT_THAT(out, Each(0xEE));
  EXPECT_EQ(device_->GetProperty(SPD_PROP_VERSION, 0, SpdKindDword, nullptr, 4), E_INVALIDARG);
  // A DWORD that does not fit counts as the wrong size.
  EXPECT_EQ(device_->GetProperty(SPD_PROP_VERSION, 0, SpdKindDword, out, 2), SPD_E_WRONGKIND);
  EXPECT_THAT(out, Each(0xEE));
}

TEST_F(DeviceTest, ServicesAreRefusedWithTheByteCleared) {
  BYTE flag = 0xEE;
  EXPECT_EQ(device_->GetProperty(SPD_PROP_HAS_SERVICES, 0, SpdKindBool, &flag, 1), SPD_E_WRONGKIND);
  EXPECT_EQ(flag, 0);
  DWORD word = 0xEEEEEEEE;
  EXPECT_EQ(device_->GetProperty(SPD_PROP_HAS_SERVICES, 0, SpdKindDword, &word, 4), SPD_E_WRONGKIND);
  EXPECT_EQ(word, 0xEEEEEEEEu);
}

TEST_F(DeviceTest, MethodsNotProvided) {
  DWORD count = 0;
  ComPtr<IUnknown> unknown;
  EXPECT_EQ(device_->SetProperty(SPD_PROP_NAME, 0, SpdKindString, u"x", 4), E_NOTIMPL);
  EXPECT_EQ(device_->Reserved9(0, 0), E_NOTIMPL);
  EXPECT_EQ(device_->Reserved10(0, 0, 0), E_NOTIMPL);
  EXPECT_EQ(device_->GetServiceCount(&count), E_NOTIMPL);
  EXPECT_EQ(device_->GetService(0, unknown.Put()), E_NOTIMPL);
  EXPECT_EQ(device_->QueryService(IID_IUnknown, unknown.PutVoid()), E_NOTIMPL);
  EXPECT_EQ(device_->ServiceRequest(1), E_NOTIMPL);
  EXPECT_EQ(device_->SetChangeEvent(nullptr), E_NOTIMPL);
  ComPtr<ISpdDeviceControl> control;
  EXPECT_EQ(device_->GetDeviceControl(control.Put()), E_NOTIMPL);
  ComPtr<ISpdDriver> driver = Driver();
  WCHAR name[8];
  EXPECT_EQ(driver->GetName(name, 8), E_NOTIMPL);
  EXPECT_EQ(driver->GetProperty(SPD_PROP_LOCAL_LOCK, 0, SpdKindBool, name, 1), E_NOTIMPL);
  EXPECT_EQ(driver->SetProperty(SPD_PROP_LOCAL_LOCK, 0, SpdKindBool, name, 1), E_NOTIMPL);
}

WAVEFORMATEX Format(WORD tag) {
  WAVEFORMATEX format{};
  format.wFormatTag = tag;
  return format;
}

SpdFrame Frame(DWORD type, const char (&id)[5]) {
  return SpdFrame{sizeof(SpdFrame), type, SpdFrameId(id), 0, nullptr};
}

// The 32-byte record of query 5 with its three fields.
std::vector<BYTE> Content(WORD at28, WORD at30, DWORD at12) {
  std::vector<BYTE> record(32);
  std::memcpy(record.data() + 28, &at28, 2);
  std::memcpy(record.data() + 30, &at30, 2);
  std::memcpy(record.data() + 12, &at12, 4);
  return record;
}

TEST_F(DeviceTest, SupportedQueries) {
  struct Case {
    UINT query;
    const void* arg;
    HRESULT expected;
  };
  const WAVEFORMATEX mp3 = Format(0x0055), f0 = Format(0x7FF0), wma = Format(0x0161), f3 = Format(0x7FF3);
  const SpdFrame title = Frame(1, "TIT2"), length = Frame(1, "TLEN"), comment = Frame(1, "COMM"),
                 binary = Frame(2, "TIT2");
  const std::vector<BYTE> content = Content(2, 2, 0x02100000), partial = Content(2, 2, 0x02000000),
                          other = Content(2, 1, 0x02100000);
  const Case cases[] = {
      {1, &mp3, S_OK},
      {1, &f0, S_OK},
      {1, &wma, S_FALSE},
      {1, &f3, S_FALSE},
      {2, &mp3, S_FALSE},
      {3, &mp3, S_FALSE},
      {4, reinterpret_cast<const void*>(2), S_OK},
      {4, reinterpret_cast<const void*>(3), S_FALSE},
      {5, content.data(), S_OK},
      {5, partial.data(), S_FALSE},
      {5, other.data(), S_FALSE},
      {6, &title, S_OK},
      {6, &length, S_OK},
      {6, &comment, S_FALSE},
      {6, &binary, S_FALSE},
      {7, &mp3, S_FALSE},
      {1, nullptr, E_INVALIDARG},
      {4, nullptr, E_INVALIDARG},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(device_->IsSupported(c.query, c.arg), c.expected) << "query " << c.query;
  }
}

TEST_F(DeviceTest, OpaqueObject) {
  ComPtr<IGannetOpaque> opaque;
  ASSERT_EQ(device_->OpenOpaque(IID_IGannetOpaque, opaque.PutVoid()), S_OK);
  EXPECT_EQ(opaque->PutText(u"anything"), S_OK);
  EXPECT_EQ(opaque->PutValues(1, 2), S_OK);
  ComPtr<IUnknown> unknown;
  EXPECT_EQ(device_->OpenOpaque(IID_IUnknown, unknown.PutVoid()), S_OK);
  void* other = reinterpret_cast<void*>(0x1);
  EXPECT_EQ(device_->OpenOpaque(IID_ISpdDevice, &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(device_->OpenOpaque(IID_IGannetOpaque, nullptr), E_INVALIDARG);
  // An outstanding opaque object keeps the module loaded.
  EXPECT_EQ(can_unload_now_(), S_FALSE);
}

TEST_F(DeviceTest, AnyDeviceOfTheDriverIsTheSameDevice) {
  ComPtr<ISpdDevice> another = Device();
  EXPECT_EQ(device_->IsSameDevice(another.Get()), S_OK);
  EXPECT_EQ(device_->IsSameDevice(device_.Get()), S_OK);
  ComPtr<IUnknown> tag;
  ASSERT_EQ(device_->QueryInterface(IID_ISpdDeviceTag, tag.PutVoid()), S_OK);
  EXPECT_EQ(another->IsSameDevice(tag.Get()), S_OK);
  // The driver object and the opaque object are not devices.
  EXPECT_EQ(device_->IsSameDevice(Driver().Get()), SPD_E_NOTSAME);
  ComPtr<IUnknown> opaque;
  ASSERT_EQ(device_->OpenOpaque(IID_IUnknown, opaque.PutVoid()), S_OK);
  EXPECT_EQ(device_->IsSameDevice(opaque.Get()), SPD_E_NOTSAME);
  EXPECT_EQ(device_->IsSameDevice(nullptr), SPD_E_NOTSAME);
}

}  // namespace
}  // namespace gannet_test
