// The core's device object and what it hands out (control, services, opaque access), and
// its watch for the player coming and going, over a mock driver device and a real busy lock.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <ostream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tesk/win32/comptr.h>

#include "mock_driver.h"
#include "storage.h"

namespace {

using namespace core_mocks;
using tesk::win32::ComPtr;
using ::testing::_;
using ::testing::DoAll;
using ::testing::InSequence;
using ::testing::Invoke;
using ::testing::IsNull;
using ::testing::NotNull;
using ::testing::Return;
using ::testing::SaveArg;
using ::testing::StrictMock;

// A driver's own code: the core must hand it back unchanged.
constexpr HRESULT kAnswer = static_cast<HRESULT>(0x80047777);
constexpr DWORD kNotGiven = 0xFFFFFFFFu;

// Polls `done` until it holds; the limit only keeps a failure from hanging the suite.
template <class Condition>
bool WaitUntil(Condition done) {
  for (int i = 0; i < 4000; ++i) {
    if (done()) return true;
    Sleep(5);
  }
  return done();
}

class DeviceTest : public CoreObjectTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(driver_.refs(), 1u) << "driver device references left";
    CoreObjectTest::TearDown();
  }

  // A device over the mock driver, which answers `signals` for SPD_PROP_SIGNALS_CHANGE.
  ComPtr<ITeskDevice> MakeDevice(bool signals = false) {
    EXPECT_CALL(driver_, GetProperty(SPD_PROP_SIGNALS_CHANGE, 0, SpdKindBool, NotNull(), 1))
        .WillOnce(WriteBool(signals));
    driver_.AddRef();  // taken over by the device
    ITeskDevice* device = nullptr;
    EXPECT_EQ(teskcore::CreateTeskDevice(&driver_, LockForDevice(), &device), S_OK);
    return ComPtr<ITeskDevice>::Adopt(device);
  }

  StrictMock<MockSpdDevice> driver_;
};

// ---- Every method's driver call, idle and busy -------------------------------------------

WCHAR g_text[40];
DWORD g_dword;
BYTE g_record[40] = {0, 0, 0, 0, 2, 0, 0, 0};  // the DWORD at offset 4 is 2
TeskId g_id = {TESK_ID_SIZE_COUNTED, 0, {1, 2, 3, 4, 5, 6, 7}, 7};

enum class WhenBusy { kRefused, kIgnored, kReportsHolder };

struct DeviceCall {
  const char* name;
  WhenBusy busy;
  std::function<void(MockSpdDevice&)> expect;  // the driver call it makes, if any
  std::function<HRESULT(ITeskDevice*)> call;
  HRESULT result = kAnswer;
};

void PrintTo(const DeviceCall& c, std::ostream* os) {
  *os << c.name;
}

auto GetPropertyAnswers(UINT id, UINT kind, void* buffer, UINT size) {
  return [=](MockSpdDevice& d) {
    EXPECT_CALL(d, GetProperty(id, 0, kind, buffer, size)).WillOnce(Return(kAnswer));
  };
}
auto IsSupportedAnswers(UINT query, const void* argument) {
  return [=](MockSpdDevice& d) { EXPECT_CALL(d, IsSupported(query, argument)).WillOnce(Return(kAnswer)); };
}
auto IsFormatSupported(DWORD flags) {
  return [=](ITeskDevice* d) { return d->IsFormatSupported(flags, g_record); };
}
void NoDriverCall(MockSpdDevice&) {}

const DeviceCall kDeviceCalls[] = {
    {"Reserved", WhenBusy::kIgnored, NoDriverCall, [](ITeskDevice* d) { return d->Reserved(1, 2, 3); },
     E_NOTIMPL},
    {"GetName", WhenBusy::kRefused,
     [](MockSpdDevice& d) { EXPECT_CALL(d, GetName(g_text, 40)).WillOnce(Return(kAnswer)); },
     [](ITeskDevice* d) { return d->GetName(g_text, 40); }},
    {"GetManufacturer", WhenBusy::kRefused,
     GetPropertyAnswers(SPD_PROP_MANUFACTURER, SpdKindString, g_text, 40),
     [](ITeskDevice* d) { return d->GetManufacturer(g_text, 40); }},
    {"GetVersion", WhenBusy::kRefused, GetPropertyAnswers(SPD_PROP_VERSION, SpdKindDword, &g_dword, 4),
     [](ITeskDevice* d) { return d->GetVersion(&g_dword); }},
    {"GetType", WhenBusy::kRefused, GetPropertyAnswers(SPD_PROP_DEVICE_TYPE, SpdKindDword, &g_dword, 4),
     [](ITeskDevice* d) { return d->GetType(&g_dword); }},
    {"SetIdentifier", WhenBusy::kRefused,
     [](MockSpdDevice& d) {
       EXPECT_CALL(d, SetProperty(SPD_PROP_IDENTIFIER, 5, SpdKindRecord, g_id.abId, 7))
           .WillOnce(Return(kAnswer));
     },
     [](ITeskDevice* d) { return d->SetIdentifier(5, &g_id); }},
    // Bits 0x1 and 0x2 win, and the whole flag word becomes the query.
    {"IsFormatSupported0x101", WhenBusy::kRefused, IsSupportedAnswers(0x101, g_record),
     IsFormatSupported(0x101)},
    {"IsFormatSupported0x2", WhenBusy::kRefused, IsSupportedAnswers(2, g_record), IsFormatSupported(0x2)},
    {"IsFormatSupported0x300", WhenBusy::kRefused, IsSupportedAnswers(SPD_QUERY_FRAME, g_record),
     IsFormatSupported(0x300)},
    // The number at offset 4 travels in place of the pointer.
    {"IsFormatSupported0x200", WhenBusy::kRefused,
     IsSupportedAnswers(SPD_QUERY_NUMBER, reinterpret_cast<const void*>(std::uintptr_t{2})),
     IsFormatSupported(0x200)},
    {"IsFormatSupported0x400", WhenBusy::kRefused, IsSupportedAnswers(SPD_QUERY_CONTENT, g_record),
     IsFormatSupported(0x400)},
    {"GetPowerSource", WhenBusy::kRefused, GetPropertyAnswers(SPD_PROP_POWER, SpdKindDword, &g_dword, 4),
     [](ITeskDevice* d) { return d->GetPowerSource(&g_dword); }},
    {"GetStatus", WhenBusy::kReportsHolder, GetPropertyAnswers(SPD_PROP_STATUS, SpdKindDword, &g_dword, 4),
     [](ITeskDevice* d) { return d->GetStatus(&g_dword); }},
    {"GetDeviceIcon", WhenBusy::kIgnored, GetPropertyAnswers(SPD_PROP_ICON, SpdKindString, g_text, 80),
     [](ITeskDevice* d) { return d->GetDeviceIcon(g_text, 80); }},
    // Any failure means the driver has no control to offer.
    {"GetDeviceControl", WhenBusy::kRefused,
     [](MockSpdDevice& d) { EXPECT_CALL(d, GetDeviceControl(NotNull())).WillOnce(Return(kAnswer)); },
     [](ITeskDevice* d) {
       ComPtr<ITeskDeviceControl> control;
       return d->GetDeviceControl(control.Put());
     },
     E_NOTIMPL},
    {"AdviseNull", WhenBusy::kRefused, NoDriverCall, [](ITeskDevice* d) { return d->Advise(nullptr); }, S_OK},
    {"EnumStorage", WhenBusy::kRefused, NoDriverCall,
     [](ITeskDevice* d) {
       ComPtr<ITeskEnumStorage> volumes;
       return d->EnumStorage(volumes.Put());
     },
     S_OK},
};

class DeviceCallTest : public DeviceTest, public ::testing::WithParamInterface<DeviceCall> {};

TEST_P(DeviceCallTest, MakesItsDriverCallAndPassesTheAnswer) {
  ComPtr<ITeskDevice> device = MakeDevice();
  GetParam().expect(driver_);
  EXPECT_EQ(GetParam().call(device.Get()), GetParam().result);
}

TEST_P(DeviceCallTest, WhileAnotherObjectHoldsTheDevice) {
  ComPtr<ITeskDevice> device = MakeDevice();
  Hold();
  switch (GetParam().busy) {
    case WhenBusy::kRefused:
      EXPECT_EQ(GetParam().call(device.Get()), TESK_E_BUSY);
      break;
    case WhenBusy::kIgnored:
      GetParam().expect(driver_);
      EXPECT_EQ(GetParam().call(device.Get()), GetParam().result);
      break;
    case WhenBusy::kReportsHolder:
      g_dword = 0;
      EXPECT_EQ(GetParam().call(device.Get()), S_OK);
      EXPECT_EQ(g_dword, kHeldStatus);
      break;
  }
  // The caller's refusal took nothing: the holder's status is still there.
  EXPECT_EQ(lock_->GetStatus(), kHeldStatus);
}

INSTANTIATE_TEST_SUITE_P(Table, DeviceCallTest, ::testing::ValuesIn(kDeviceCalls),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(DeviceTest, IsFormatSupportedRefusesFlagsItDoesNotKnow) {
  ComPtr<ITeskDevice> device = MakeDevice();
  for (DWORD flags : {0x0u, 0x800u, 0x10000u, 0x80000000u})
    EXPECT_EQ(device->IsFormatSupported(flags, g_record), E_INVALIDARG) << std::hex << flags;
  EXPECT_EQ(device->IsFormatSupported(0x200, nullptr), E_INVALIDARG);
}

TEST_F(DeviceTest, SetIdentifierNeedsACountedRecordThatFits) {
  ComPtr<ITeskDevice> device = MakeDevice();
  TeskId id = g_id;
  id.cbSize = TESK_ID_SIZE_SHORT;
  EXPECT_EQ(device->SetIdentifier(0, &id), E_FAIL);
  id.cbSize = TESK_ID_SIZE_COUNTED;
  id.cbId = 129;
  EXPECT_EQ(device->SetIdentifier(0, &id), E_INVALIDARG);
  EXPECT_EQ(device->SetIdentifier(0, nullptr), E_INVALIDARG);
}

// ---- Serial number and identifiers -------------------------------------------------------

constexpr DWORD kVendor = 0x7A3D;
constexpr BYTE kUntouched = 0xEE;

std::vector<BYTE> Bytes(std::size_t count, BYTE first) {
  std::vector<BYTE> bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<BYTE>(first + i);
  return bytes;
}

TeskId UntouchedRecord(DWORD size) {
  TeskId id;
  std::memset(&id, kUntouched, sizeof(id));
  id.cbSize = size;
  return id;
}

// Checks that `id` holds the first `copied` bytes of `bytes` and nothing else was written.
void ExpectFilled(const TeskId& id, DWORD vendor, const std::vector<BYTE>& bytes, std::size_t copied,
                  bool counted) {
  EXPECT_EQ(id.dwVendorId, vendor);
  for (std::size_t i = 0; i < sizeof(id.abId); ++i)
    ASSERT_EQ(id.abId[i], i < copied ? bytes[i] : kUntouched) << "identifier byte " << i;
  EXPECT_EQ(id.cbId, counted ? copied : 0xEEEEEEEEu);
}

struct SerialCase {
  DWORD size;
  std::size_t blob;    // bytes the driver hands out
  std::size_t copied;  // bytes that fit the record
  bool counted;
  HRESULT result;
};

void PrintTo(const SerialCase& c, std::ostream* os) {
  *os << c.size << "-byte record, " << c.blob << "-byte blob";
}

class SerialNumberTest : public DeviceTest, public ::testing::WithParamInterface<SerialCase> {};

// The driver's block is freed whatever happens (a leak shows under the leak checker).
TEST_P(SerialNumberTest, FillsWhatTheRecordHoldsAndFreesTheBlock) {
  const SerialCase& c = GetParam();
  ComPtr<ITeskDevice> device = MakeDevice();
  const std::vector<BYTE> serial = Bytes(c.blob, 1);
  {
    InSequence order;
    EXPECT_CALL(driver_, GetProperty(SPD_PROP_VENDOR_ID, 0, SpdKindDword, NotNull(), 4))
        .WillOnce(WriteDword(kVendor));
    EXPECT_CALL(driver_, GetProperty(SPD_PROP_SERIAL, 0, SpdKindBlob, NotNull(), sizeof(SpdBlob)))
        .WillOnce(WriteBlob(serial));
  }
  TeskId id = UntouchedRecord(c.size);
  EXPECT_EQ(device->GetSerialNumber(&id), c.result);
  if (c.result == S_OK) {
    ExpectFilled(id, kVendor, serial, c.copied, c.counted);
  } else {
    const TeskId untouched = UntouchedRecord(c.size);
    EXPECT_EQ(std::memcmp(&id, &untouched, sizeof(id)), 0) << "a refused record was written";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, SerialNumberTest,
    ::testing::Values(SerialCase{24, 20, 16, false, S_OK}, SerialCase{136, 130, 128, false, S_OK},
                      SerialCase{140, 130, 128, true, S_OK}, SerialCase{140, 5, 5, true, S_OK},
                      SerialCase{100, 16, 0, false, E_FAIL}, SerialCase{0, 16, 0, false, E_FAIL}));

TEST_F(DeviceTest, SerialNumberStopsAtTheFirstDriverFailure) {
  ComPtr<ITeskDevice> device = MakeDevice();
  TeskId id = UntouchedRecord(TESK_ID_SIZE_COUNTED);
  EXPECT_CALL(driver_, GetProperty(SPD_PROP_VENDOR_ID, 0, SpdKindDword, NotNull(), 4))
      .WillOnce(Return(kAnswer));
  EXPECT_EQ(device->GetSerialNumber(&id), kAnswer);

  EXPECT_CALL(driver_, GetProperty(SPD_PROP_VENDOR_ID, 0, SpdKindDword, NotNull(), 4))
      .WillOnce(WriteDword(kVendor));
  EXPECT_CALL(driver_, GetProperty(SPD_PROP_SERIAL, 0, SpdKindBlob, NotNull(), sizeof(SpdBlob)))
      .WillOnce(Return(kAnswer));
  EXPECT_EQ(device->GetSerialNumber(&id), kAnswer);
  EXPECT_EQ(id.dwVendorId, 0xEEEEEEEEu);
}

TEST_F(DeviceTest, IdentifierRecordsLieACountedRecordApartWhateverTheirSize) {
  ComPtr<ITeskDevice> device = MakeDevice();
  const std::vector<BYTE> first = Bytes(20, 0xA0), second = Bytes(20, 0xB0);
  EXPECT_CALL(driver_, GetProperty(SPD_PROP_VENDOR_ID, 0, SpdKindDword, NotNull(), 4))
      .WillOnce(WriteDword(kVendor));
  EXPECT_CALL(driver_, GetProperty(SPD_PROP_IDENTIFIER, 0, SpdKindBlob, NotNull(), sizeof(SpdBlob)))
      .WillOnce(WriteBlob(first));
  EXPECT_CALL(driver_, GetProperty(SPD_PROP_IDENTIFIER, 1, SpdKindBlob, NotNull(), sizeof(SpdBlob)))
      .WillOnce(WriteBlob(second));
  TeskId records[2] = {UntouchedRecord(TESK_ID_SIZE_SHORT), UntouchedRecord(TESK_ID_SIZE_SHORT)};
  EXPECT_EQ(device->GetIdentifiers(records, 2), S_OK);
  ExpectFilled(records[0], kVendor, first, 16, false);
  ExpectFilled(records[1], kVendor, second, 16, false);
}

TEST_F(DeviceTest, IdentifiersStopAtTheFirstAnswerOtherThanSOk) {
  ComPtr<ITeskDevice> device = MakeDevice();
  const std::vector<BYTE> first = Bytes(8, 0x10);
  // A vendor the driver cannot tell counts as 0.
  EXPECT_CALL(driver_, GetProperty(SPD_PROP_VENDOR_ID, 0, SpdKindDword, NotNull(), 4))
      .WillOnce(Return(kAnswer));
  EXPECT_CALL(driver_, GetProperty(SPD_PROP_IDENTIFIER, 0, SpdKindBlob, NotNull(), sizeof(SpdBlob)))
      .WillOnce(WriteBlob(first));
  EXPECT_CALL(driver_, GetProperty(SPD_PROP_IDENTIFIER, 1, SpdKindBlob, NotNull(), sizeof(SpdBlob)))
      .WillOnce(Return(S_FALSE));
  TeskId records[3] = {UntouchedRecord(TESK_ID_SIZE_COUNTED), UntouchedRecord(TESK_ID_SIZE_COUNTED),
                       UntouchedRecord(TESK_ID_SIZE_COUNTED)};
  EXPECT_EQ(device->GetIdentifiers(records, 3), S_FALSE);
  records[0].dwVendorId &= 0xFFFFFFFFu;
  ExpectFilled(records[0], 0, first, 8, true);
  const TeskId untouched = UntouchedRecord(TESK_ID_SIZE_COUNTED);
  EXPECT_EQ(std::memcmp(&records[1], &untouched, sizeof(TeskId)), 0);
}

TEST_F(DeviceTest, IdentifiersStopAtARecordOfABadSize) {
  ComPtr<ITeskDevice> device = MakeDevice();
  EXPECT_CALL(driver_, GetProperty(SPD_PROP_VENDOR_ID, 0, SpdKindDword, NotNull(), 4))
      .WillOnce(WriteDword(kVendor));
  EXPECT_CALL(driver_, GetProperty(SPD_PROP_IDENTIFIER, 0, SpdKindBlob, NotNull(), sizeof(SpdBlob)))
      .WillOnce(WriteBlob(Bytes(4, 1)));
  EXPECT_CALL(driver_, GetProperty(SPD_PROP_IDENTIFIER, 1, SpdKindBlob, NotNull(), sizeof(SpdBlob)))
      .WillOnce(WriteBlob(Bytes(4, 1)));
  TeskId records[3] = {UntouchedRecord(TESK_ID_SIZE_LONG), UntouchedRecord(12),
                       UntouchedRecord(TESK_ID_SIZE_LONG)};
  EXPECT_EQ(device->GetIdentifiers(records, 3), E_FAIL);
}

// ---- The small objects the device hands out ----------------------------------------------

TEST_F(DeviceTest, EachOpaqueAccessRequestGivesANewObjectOverTheDriverDevice) {
  ComPtr<ITeskDevice> device = MakeDevice();
  ComPtr<ITeskOpaqueAccess> first, second;
  ASSERT_EQ(device->QueryInterface(IID_ITeskOpaqueAccess, first.PutVoid()), S_OK);
  ASSERT_EQ(device->QueryInterface(IID_ITeskOpaqueAccess, second.PutVoid()), S_OK);
  EXPECT_NE(first.Get(), second.Get());

  void* opaque = nullptr;
  EXPECT_CALL(driver_, OpenOpaque(IID_ITeskServicePower, &opaque)).WillOnce(Return(kAnswer));
  EXPECT_EQ(first->GetOpaqueObject(IID_ITeskServicePower, &opaque), kAnswer);
  EXPECT_EQ(first->Reserved(1, 2), E_NOINTERFACE);

  // No way back to the device.
  ComPtr<ITeskDevice> back;
  EXPECT_EQ(first->QueryInterface(IID_ITeskDevice, back.PutVoid()), E_NOINTERFACE);
  EXPECT_EQ(back.Get(), nullptr);

  ComPtr<IUnknown> unknown;
  ASSERT_EQ(device->QueryInterface(IID_IUnknown, unknown.PutVoid()), S_OK);
  EXPECT_EQ(static_cast<void*>(unknown.Get()), static_cast<void*>(device.Get()));
  ComPtr<ITeskStorage> storage;
  EXPECT_EQ(device->QueryInterface(IID_ITeskStorage, storage.PutVoid()), E_NOINTERFACE);
}

TEST_F(DeviceTest, ServiceObjectHandsOutTheServicesOneByOneAndRewinds) {
  ComPtr<ITeskDevice> device = MakeDevice();
  ComPtr<ITeskDeviceService> services;
  ASSERT_EQ(device->QueryInterface(IID_ITeskDeviceService, services.PutVoid()), S_OK);
  EXPECT_CALL(driver_, GetServiceCount(NotNull())).WillRepeatedly(Invoke([](DWORD* count) {
    *count = 2;
    return S_OK;
  }));
  void* service = nullptr;
  {
    InSequence order;
    EXPECT_CALL(driver_, GetService(0, _)).WillOnce(Return(S_OK));
    EXPECT_CALL(driver_, GetService(0, _)).WillOnce(Return(S_OK));  // after Reset
    EXPECT_CALL(driver_, GetService(1, _)).WillOnce(Return(kAnswer));
    EXPECT_CALL(driver_, GetService(0, _)).WillOnce(Return(S_OK));  // rewound after the end
  }
  EXPECT_EQ(services->NextService(&service), S_OK);
  EXPECT_EQ(services->Reset(), S_OK);
  EXPECT_EQ(services->NextService(&service), S_OK);
  EXPECT_EQ(services->NextService(&service), kAnswer);  // the driver's answer; the position moves on
  EXPECT_EQ(services->NextService(&service), S_FALSE);
  EXPECT_EQ(services->NextService(&service), S_OK);
}

TEST_F(DeviceTest, ServiceObjectWithoutACountHasNoServices) {
  ComPtr<ITeskDevice> device = MakeDevice();
  ComPtr<ITeskDeviceService> services;
  ASSERT_EQ(device->QueryInterface(IID_ITeskDeviceService, services.PutVoid()), S_OK);
  EXPECT_CALL(driver_, GetServiceCount(NotNull())).WillOnce(Return(E_NOTIMPL));
  void* service = nullptr;
  EXPECT_EQ(services->NextService(&service), S_FALSE);
}

TEST_F(DeviceTest, ServiceAvailabilityIsTheDriversByteWhateverItAnswers) {
  ComPtr<ITeskDevice> device = MakeDevice();
  ComPtr<ITeskDeviceService> services;
  ASSERT_EQ(device->QueryInterface(IID_ITeskDeviceService, services.PutVoid()), S_OK);
  struct Case {
    bool value;
    HRESULT answer;
    HRESULT expected;
  };
  for (const Case& c : {Case{false, SPD_E_WRONGKIND, S_FALSE}, Case{true, S_OK, S_OK},
                        Case{true, kAnswer, S_OK}, Case{false, S_OK, S_FALSE}}) {
    EXPECT_CALL(driver_, GetProperty(SPD_PROP_HAS_SERVICES, 0, SpdKindBool, NotNull(), 1))
        .WillOnce(WriteBool(c.value, c.answer));
    EXPECT_EQ(services->IsServiceAvailable(), c.expected);
  }
  // A driver that writes nothing: preset to false.
  EXPECT_CALL(driver_, GetProperty(SPD_PROP_HAS_SERVICES, 0, SpdKindBool, NotNull(), 1))
      .WillOnce(Return(E_NOTIMPL));
  EXPECT_EQ(services->IsServiceAvailable(), S_FALSE);
}

TEST_F(DeviceTest, ServiceObjectHandsOtherInterfacesAndRequestsToTheDriver) {
  ComPtr<ITeskDevice> device = MakeDevice();
  ComPtr<ITeskDeviceService> services;
  ASSERT_EQ(device->QueryInterface(IID_ITeskDeviceService, services.PutVoid()), S_OK);

  void* clock = nullptr;
  EXPECT_CALL(driver_, QueryService(IID_ITeskServiceClock, &clock)).WillOnce(Return(kAnswer));
  EXPECT_EQ(services->QueryInterface(IID_ITeskServiceClock, &clock), kAnswer);
  void* back = nullptr;
  EXPECT_CALL(driver_, QueryService(IID_ITeskDevice, &back)).WillOnce(Return(E_NOINTERFACE));
  EXPECT_EQ(services->QueryInterface(IID_ITeskDevice, &back), E_NOINTERFACE);

  ComPtr<IUnknown> self;
  ASSERT_EQ(services->QueryInterface(IID_IUnknown, self.PutVoid()), S_OK);
  EXPECT_EQ(static_cast<void*>(self.Get()), static_cast<void*>(services.Get()));

  EXPECT_CALL(driver_, ServiceRequest(9)).WillOnce(Return(kAnswer));
  EXPECT_EQ(services->ServiceRequest(9), kAnswer);
}

// ---- Device control -------------------------------------------------------------------

class MockTeskStorage : public Counted<ITeskStorage, IID_ITeskStorage> {
 public:
  MOCK_METHOD(HRESULT, GetStorageGlobals, (ITeskStorageGlobals * *pp), (override));
  MOCK_METHOD(HRESULT, GetStorageControl, (ITeskStorageControl * *pp), (override));
  MOCK_METHOD(HRESULT, GetObjectInfo, (ITeskObjectInfo * *pp), (override));
  MOCK_METHOD(HRESULT, GetAttributes, (DWORD * pdwAttributes, WAVEFORMATEX* pFormat), (override));
  MOCK_METHOD(HRESULT, GetName, (LPWSTR pwszName, UINT nSize), (override));
  MOCK_METHOD(HRESULT, GetDate, (LPWSTR pwszDate, UINT nSize), (override));
  MOCK_METHOD(HRESULT, GetSize, (DWORD * pdwSizeLow, DWORD* pdwSizeHigh), (override));
  MOCK_METHOD(HRESULT, Reserved, (DWORD a), (override));
  MOCK_METHOD(HRESULT, Advise, (ITeskConnect * pSink), (override));
  MOCK_METHOD(HRESULT, EnumStorage, (ITeskEnumStorage * *pp), (override));
};

class MockOperation : public Counted<ITeskOperation, IID_ITeskOperation> {
 public:
  MOCK_METHOD(HRESULT, BeginRead, (IUnknown * pCaller), (override));
  MOCK_METHOD(HRESULT, BeginWrite, (IUnknown * pCaller), (override));
  MOCK_METHOD(HRESULT, ObjectName, (IUnknown * pCaller, LPWSTR pwszName, UINT cchName), (override));
  MOCK_METHOD(HRESULT, ObjectAttributes, (IUnknown * pCaller, DWORD* pdwAttributes, WAVEFORMATEX* pFormat),
              (override));
  MOCK_METHOD(HRESULT, ObjectContentInfo, (IUnknown * pCaller, TeskContentInfo* pInfo), (override));
  MOCK_METHOD(HRESULT, ObjectTotalSize, (IUnknown * pCaller, DWORD* pdwSize), (override));
  MOCK_METHOD(HRESULT, BufferSize, (IUnknown * pCaller, DWORD* pcbBuffer), (override));
  MOCK_METHOD(HRESULT, TransferObjectData, (IUnknown * pCaller, BYTE* pData, DWORD* pcbData), (override));
  MOCK_METHOD(HRESULT, End, (IUnknown * pCaller, HRESULT hr, IUnknown* pNewObject), (override));
};

class DeviceControlTest : public DeviceTest {
 protected:
  void TearDown() override {
    device_.Reset();
    EXPECT_EQ(control_.refs(), 1u) << "driver control references left";
    EXPECT_EQ(volume_.refs(), 1u) << "driver storage references left";
    EXPECT_EQ(operation_.refs(), 1u) << "operation references left";
    DeviceTest::TearDown();
  }

  ComPtr<ITeskDeviceControl> MakeControl() {
    device_ = MakeDevice();
    EXPECT_CALL(driver_, GetDeviceControl(NotNull())).WillOnce(Invoke([this](ISpdDeviceControl** out) {
      control_.AddRef();
      *out = &control_;
      return S_OK;
    }));
    ComPtr<ITeskDeviceControl> control;
    EXPECT_EQ(device_->GetDeviceControl(control.Put()), S_OK);
    return control;
  }

  // A storage of this system over the mock volume.
  ComPtr<ITeskStorage> MakeStorage() {
    EXPECT_CALL(volume_, GetProperty(SPD_PROP_SIGNALS_CHANGE, 0, SpdKindBool, NotNull(), 1))
        .WillOnce(WriteBool(false));
    ComPtr<ITeskStorage> storage;
    EXPECT_EQ(teskcore::CreateTeskStorage(&driver_, &volume_, &volume_, lock_, storage.Put()), S_OK);
    return storage;
  }

  StrictMock<MockSpdDeviceControl> control_;
  StrictMock<MockSpdStorage> volume_;
  StrictMock<MockOperation> operation_;
  ComPtr<ITeskDevice> device_;
};

struct ControlCall {
  const char* name;
  std::function<void(MockSpdDeviceControl&)> expect;
  std::function<HRESULT(ITeskDeviceControl*)> call;
};

void PrintTo(const ControlCall& c, std::ostream* os) {
  *os << c.name;
}

const ControlCall kControlCalls[] = {
    {"GetStatus",
     [](MockSpdDeviceControl& c) {
       EXPECT_CALL(c, GetProperty(SPD_PROP_STATUS, 0, SpdKindDword, &g_dword, 4)).WillOnce(Return(kAnswer));
     },
     [](ITeskDeviceControl* c) { return c->GetStatus(&g_dword); }},
    {"GetCapabilities",
     [](MockSpdDeviceControl& c) {
       EXPECT_CALL(c, GetProperty(SPD_PROP_CAPABILITIES, 0, SpdKindDword, &g_dword, 4))
           .WillOnce(Return(kAnswer));
     },
     [](ITeskDeviceControl* c) { return c->GetCapabilities(&g_dword); }},
    // Until Setup says otherwise, the device plays and records by itself.
    {"Play", [](MockSpdDeviceControl& c) { EXPECT_CALL(c, Play()).WillOnce(Return(kAnswer)); },
     [](ITeskDeviceControl* c) { return c->Play(0); }},
    {"Record", [](MockSpdDeviceControl& c) { EXPECT_CALL(c, Record(0x55)).WillOnce(Return(kAnswer)); },
     [](ITeskDeviceControl* c) { return c->Record(TESK_MODE_BLOCK, 0x55); }},
    {"Pause", [](MockSpdDeviceControl& c) { EXPECT_CALL(c, Pause()).WillOnce(Return(kAnswer)); },
     [](ITeskDeviceControl* c) { return c->Pause(); }},
    {"Resume", [](MockSpdDeviceControl& c) { EXPECT_CALL(c, Resume()).WillOnce(Return(kAnswer)); },
     [](ITeskDeviceControl* c) { return c->Resume(); }},
    {"Stop", [](MockSpdDeviceControl& c) { EXPECT_CALL(c, Stop()).WillOnce(Return(kAnswer)); },
     [](ITeskDeviceControl* c) { return c->Stop(); }},
    {"SetupWithoutStorage",
     [](MockSpdDeviceControl& c) {
       EXPECT_CALL(c, SetSource(IsNull(), kNotGiven, kNotGiven)).WillOnce(Return(kAnswer));
     },
     [](ITeskDeviceControl* c) { return c->Setup(TESK_CONTROL_DEVICE, nullptr, nullptr, nullptr); }},
};

class ControlCallTest : public DeviceControlTest, public ::testing::WithParamInterface<ControlCall> {};

TEST_P(ControlCallTest, MakesItsDriverCallAndPassesTheAnswer) {
  ComPtr<ITeskDeviceControl> control = MakeControl();
  GetParam().expect(control_);
  EXPECT_EQ(GetParam().call(control.Get()), kAnswer);
}

TEST_P(ControlCallTest, IsRefusedWhileAnotherObjectHoldsTheDevice) {
  ComPtr<ITeskDeviceControl> control = MakeControl();
  Hold();
  EXPECT_EQ(GetParam().call(control.Get()), TESK_E_BUSY);
}

INSTANTIATE_TEST_SUITE_P(Table, ControlCallTest, ::testing::ValuesIn(kControlCalls),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(DeviceControlTest, DriverThatAnswersWithoutAControlHasNone) {
  device_ = MakeDevice();
  EXPECT_CALL(driver_, GetDeviceControl(NotNull())).WillOnce(Return(S_OK));
  ITeskDeviceControl* control = reinterpret_cast<ITeskDeviceControl*>(0x1);
  EXPECT_EQ(device_->GetDeviceControl(&control), E_NOTIMPL);
}

TEST_F(DeviceControlTest, SetupGivesTheDriverTheStorageOfThisSystemAndItsRange) {
  ComPtr<ITeskDeviceControl> control = MakeControl();
  ComPtr<ITeskStorage> storage = MakeStorage();
  ComPtr<ITeskObjectInfo> range;
  ASSERT_EQ(storage->GetObjectInfo(range.Put()), S_OK);

  EXPECT_CALL(control_, SetSource(&volume_, kNotGiven, kNotGiven)).WillOnce(Return(kAnswer));
  EXPECT_EQ(control->Setup(TESK_CONTROL_DEVICE, storage.Get(), nullptr, nullptr), kAnswer);
  const ULONG held = volume_.refs();

  // The range object belongs to the same device and is read all the same.
  EXPECT_CALL(volume_, GetProperty(SPD_PROP_PLAY_OFFSET, 0, SpdKindDword, NotNull(), 4))
      .WillOnce(WriteDword(30));
  EXPECT_CALL(volume_, GetProperty(SPD_PROP_PLAY_LENGTH, 0, SpdKindDword, NotNull(), 4))
      .WillOnce(WriteDword(60));
  EXPECT_CALL(control_, SetSource(&volume_, 30, 60)).WillOnce(Return(S_OK));
  EXPECT_EQ(control->Setup(TESK_CONTROL_DEVICE, storage.Get(), nullptr, range.Get()), S_OK);
  EXPECT_EQ(volume_.refs(), held) << "the earlier driver storage was not let go";

  // A range that cannot be read is not given.
  EXPECT_CALL(volume_, GetProperty(SPD_PROP_PLAY_OFFSET, 0, SpdKindDword, NotNull(), 4))
      .WillOnce(Return(E_NOTIMPL));
  EXPECT_CALL(volume_, GetProperty(SPD_PROP_PLAY_LENGTH, 0, SpdKindDword, NotNull(), 4))
      .WillOnce(Return(E_NOTIMPL));
  EXPECT_CALL(control_, SetSource(&volume_, kNotGiven, kNotGiven)).WillOnce(Return(S_OK));
  EXPECT_EQ(control->Setup(TESK_CONTROL_DEVICE, storage.Get(), nullptr, range.Get()), S_OK);

  EXPECT_CALL(control_, SetSource(IsNull(), kNotGiven, kNotGiven)).WillOnce(Return(S_OK));
  EXPECT_EQ(control->Setup(TESK_CONTROL_DEVICE, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(volume_.refs(), held - 1);
}

TEST_F(DeviceControlTest, SetupRefusesAForeignStorageButKeepsTheNewOperation) {
  ComPtr<ITeskDeviceControl> control = MakeControl();
  StrictMock<MockTeskStorage> foreign;
  EXPECT_EQ(control->Setup(0, &foreign, &operation_, nullptr), E_FAIL);
  EXPECT_EQ(foreign.refs(), 1u);
  EXPECT_EQ(operation_.refs(), 2u);
  // Streaming through the operation is not available yet.
  EXPECT_EQ(control->Play(TESK_MODE_BLOCK), E_NOTIMPL);
  EXPECT_EQ(control->Record(TESK_MODE_BLOCK, 0x55), E_NOTIMPL);
  control.Reset();
  EXPECT_EQ(operation_.refs(), 1u);
}

TEST_F(DeviceControlTest, SetupReplacesTheOperation) {
  ComPtr<ITeskDeviceControl> control = MakeControl();
  EXPECT_CALL(control_, SetSource(IsNull(), kNotGiven, kNotGiven)).Times(2).WillRepeatedly(Return(S_OK));
  EXPECT_EQ(control->Setup(0, nullptr, &operation_, nullptr), S_OK);
  EXPECT_EQ(operation_.refs(), 2u);
  EXPECT_EQ(control->Setup(TESK_CONTROL_DEVICE, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(operation_.refs(), 1u);
  // The device plays by itself again.
  EXPECT_CALL(control_, Play()).WillOnce(Return(S_OK));
  EXPECT_EQ(control->Play(0), S_OK);
}

// ---- Watching the player come and go -----------------------------------------------------

class DeviceWatchTest : public DeviceTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(sink_.refs(), 1u) << "sink references left";
    DeviceTest::TearDown();
  }

  // The change event as the driver (or anyone in the prefix) finds it by name.
  static HANDLE OpenChangeEvent(ITeskDevice* device) {
    char name[64];
    std::snprintf(name, sizeof(name), "CTeskDevice.%llx",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(device)));
    return OpenEventA(EVENT_ALL_ACCESS, FALSE, name);
  }

  void ExpectPresent(bool present) {
    EXPECT_CALL(driver_, GetProperty(SPD_PROP_PRESENT, 0, SpdKindBool, NotNull(), 1))
        .WillRepeatedly(WriteBool(present));
  }

  StrictMock<MockConnect> sink_;
  Signal called_;
};

TEST_F(DeviceWatchTest, PollingThreadReportsAPlayerThatCame) {
  ComPtr<ITeskDevice> device = MakeDevice(false);
  EXPECT_CALL(driver_, PollForChange()).WillOnce(Return(S_FALSE)).WillRepeatedly(Return(S_OK));
  ExpectPresent(true);
  EXPECT_CALL(sink_, Connected(device.Get())).WillRepeatedly(Invoke([this](IUnknown*) {
    called_.Set();
    return S_OK;
  }));
  ASSERT_EQ(device->Advise(&sink_), S_OK);
  EXPECT_EQ(sink_.refs(), 2u);
  ASSERT_TRUE(called_.Wait());
  ASSERT_EQ(device->Advise(nullptr), S_OK);
  // Stopped and joined: only the device itself is left.
  EXPECT_EQ(sink_.refs(), 1u);
  EXPECT_EQ(teskcore::Counters().Objects(), objects_before_ + 1);
}

TEST_F(DeviceWatchTest, EventModeGivesTheDriverTheNamedEventAndWakesOnIt) {
  ComPtr<ITeskDevice> device = MakeDevice(true);
  HANDLE given = nullptr;
  {
    InSequence order;
    EXPECT_CALL(driver_, SetChangeEvent(NotNull())).WillOnce(DoAll(SaveArg<0>(&given), Return(S_OK)));
    EXPECT_CALL(driver_, SetChangeEvent(IsNull())).WillOnce(Return(E_NOTIMPL));  // ignored
  }
  ExpectPresent(false);
  EXPECT_CALL(sink_, Disconnected(device.Get())).WillOnce(Invoke([this](IUnknown*) {
    called_.Set();
    return S_OK;
  }));
  ASSERT_EQ(device->Advise(&sink_), S_OK);
  EXPECT_NE(given, nullptr);
  const HANDLE named = OpenChangeEvent(device.Get());
  ASSERT_NE(named, nullptr) << "no event named after the device";
  // No polling in this mode: the signal itself is the change.
  ASSERT_TRUE(SetEvent(named));
  ASSERT_TRUE(called_.Wait());
  EXPECT_EQ(device->Advise(nullptr), S_OK);
  EXPECT_EQ(sink_.refs(), 1u);
  CloseHandle(named);
}

TEST_F(DeviceWatchTest, ThreadLeavesTheDriverAloneWhileTheDeviceIsBusy) {
  ComPtr<ITeskDevice> device = MakeDevice(false);
  std::atomic<bool> held{false}, asked_while_held{false};
  Signal polled;
  EXPECT_CALL(driver_, PollForChange()).WillRepeatedly(Invoke([&] {
    if (held.load()) asked_while_held = true;
    polled.Set();
    return S_FALSE;
  }));
  ASSERT_EQ(device->Advise(&sink_), S_OK);
  Hold();
  held = true;
  // Room for a few of the thread's cycles; each must find the device busy.
  Sleep(1300);
  held = false;
  polled.Reset();
  Unhold();
  EXPECT_TRUE(polled.Wait()) << "the thread never came back to the driver";
  EXPECT_FALSE(asked_while_held.load());
  EXPECT_EQ(device->Advise(nullptr), S_OK);
}

TEST_F(DeviceWatchTest, SecondSinkReplacesTheFirstOnTheSameThread) {
  ComPtr<ITeskDevice> device = MakeDevice(true);
  StrictMock<MockConnect> first;
  {
    InSequence order;
    EXPECT_CALL(driver_, SetChangeEvent(NotNull())).WillOnce(Return(S_OK));  // one thread started
    EXPECT_CALL(driver_, SetChangeEvent(IsNull())).WillOnce(Return(S_OK));
  }
  ExpectPresent(true);
  EXPECT_CALL(sink_, Connected(device.Get())).WillOnce(Invoke([this](IUnknown*) {
    called_.Set();
    return S_OK;
  }));
  ASSERT_EQ(device->Advise(&first), S_OK);
  ASSERT_EQ(device->Advise(&sink_), S_OK);
  EXPECT_EQ(first.refs(), 1u);
  EXPECT_EQ(sink_.refs(), 2u);
  const HANDLE named = OpenChangeEvent(device.Get());
  ASSERT_NE(named, nullptr);
  SetEvent(named);
  ASSERT_TRUE(called_.Wait());
  EXPECT_EQ(device->Advise(nullptr), S_OK);
  CloseHandle(named);
}

TEST_F(DeviceWatchTest, AdviseNullWithoutASinkStartsNothing) {
  ComPtr<ITeskDevice> device = MakeDevice(true);
  EXPECT_EQ(device->Advise(nullptr), S_OK);
  EXPECT_EQ(teskcore::Counters().Objects(), objects_before_ + 1);
}

TEST_F(DeviceWatchTest, DestructionStopsTheDriverSignallingAndJoinsTheThread) {
  ComPtr<ITeskDevice> device = MakeDevice(true);
  {
    InSequence order;
    EXPECT_CALL(driver_, SetChangeEvent(NotNull())).WillOnce(Return(S_OK));
    EXPECT_CALL(driver_, SetChangeEvent(IsNull())).WillOnce(Return(S_OK));
  }
  ASSERT_EQ(device->Advise(&sink_), S_OK);
  EXPECT_EQ(teskcore::Counters().Objects(), objects_before_ + 2);  // the device and its thread
  device.Reset();
  EXPECT_EQ(teskcore::Counters().Objects(), objects_before_);
  EXPECT_EQ(sink_.refs(), 1u);
  EXPECT_EQ(driver_.refs(), 1u);
}

// A sink that lives on the heap, goes away with its last reference, and blocks in Connected
// until told to go on.
class BlockingSink : public ITeskConnect {
 public:
  BlockingSink(Signal* entered, Signal* proceed, Signal* destroyed)
      : entered_(entered), proceed_(proceed), destroyed_(destroyed) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) {
      destroyed_->Set();
      delete this;
    }
    return left;
  }
  HRESULT STDMETHODCALLTYPE Disconnected(IUnknown*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Connected(IUnknown*) override {
    entered_->Set();
    proceed_->Wait();
    return S_OK;
  }

 private:
  virtual ~BlockingSink() = default;
  std::atomic<ULONG> refs_{1};
  Signal* entered_;
  Signal* proceed_;
  Signal* destroyed_;
};

TEST_F(DeviceWatchTest, SinkReplacedDuringItsCallStaysAliveUntilTheCallReturns) {
  ComPtr<ITeskDevice> device = MakeDevice(false);
  EXPECT_CALL(driver_, PollForChange()).WillRepeatedly(Return(S_OK));
  ExpectPresent(true);
  EXPECT_CALL(sink_, Connected(device.Get())).WillRepeatedly(Invoke([this](IUnknown*) {
    called_.Set();
    return S_OK;
  }));
  Signal entered, proceed, destroyed;
  auto* blocking = new BlockingSink(&entered, &proceed, &destroyed);
  ASSERT_EQ(device->Advise(blocking), S_OK);
  blocking->Release();  // the device's reference is the only one left
  ASSERT_TRUE(entered.Wait());

  ASSERT_EQ(device->Advise(&sink_), S_OK);
  EXPECT_FALSE(destroyed.IsSet()) << "the sink was released while the thread was calling it";
  proceed.Set();
  EXPECT_TRUE(destroyed.Wait());
  // The thread goes on with the new sink.
  EXPECT_TRUE(called_.Wait());
  EXPECT_EQ(device->Advise(nullptr), S_OK);
}

TEST_F(DeviceWatchTest, SinkMayStopTheWatchFromItsCallback) {
  ComPtr<ITeskDevice> device = MakeDevice(false);
  EXPECT_CALL(driver_, PollForChange()).WillRepeatedly(Return(S_OK));
  ExpectPresent(true);
  std::atomic<HRESULT> stopped{E_UNEXPECTED};
  EXPECT_CALL(sink_, Connected(device.Get())).WillOnce(Invoke([&](IUnknown* source) {
    stopped = static_cast<ITeskDevice*>(source)->Advise(nullptr);
    called_.Set();
    return S_OK;
  }));
  ASSERT_EQ(device->Advise(&sink_), S_OK);
  ASSERT_TRUE(called_.Wait());
  EXPECT_EQ(stopped.load(), S_OK);
  // The thread ends by itself once the callback has returned.
  EXPECT_TRUE(WaitUntil([&] { return teskcore::Counters().Objects() == objects_before_ + 1; }));
  EXPECT_EQ(sink_.refs(), 1u);
}

TEST_F(DeviceWatchTest, SinkMayReleaseTheDeviceFromItsCallback) {
  ComPtr<ITeskDevice> device = MakeDevice(false);
  EXPECT_CALL(driver_, PollForChange()).WillRepeatedly(Return(S_OK));
  ExpectPresent(true);
  ITeskDevice* last = device.Detach();  // the sink releases it
  EXPECT_CALL(sink_, Connected(last)).WillOnce(Invoke([&](IUnknown*) {
    last->Release();
    called_.Set();
    return S_OK;
  }));
  ASSERT_EQ(last->Advise(&sink_), S_OK);
  ASSERT_TRUE(called_.Wait());
  EXPECT_TRUE(WaitUntil([&] { return teskcore::Counters().Objects() == objects_before_; }));
  EXPECT_TRUE(WaitUntil([&] { return driver_.refs() == 1u && sink_.refs() == 1u; }));
}

}  // namespace
