// The core's storage objects, their enumerators and companions, over mock driver storages
// and a real busy lock.
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
using ::testing::AnyNumber;
using ::testing::InSequence;
using ::testing::Invoke;
using ::testing::IsNull;
using ::testing::NotNull;
using ::testing::Return;
using ::testing::StrictMock;
using ::testing::Truly;

constexpr HRESULT kAnswer = static_cast<HRESULT>(0x80047777);

// Count actions for GetStorageCount and GetChildCount.
auto Count(DWORD count) {
  return [count](DWORD* out) {
    *out = count;
    return S_OK;
  };
}

// Hands out a driver storage with a new reference, as a driver's Get... methods do.
auto HandOut(ISpdStorage* storage) {
  return [storage](DWORD, ISpdStorage** out) {
    storage->AddRef();
    *out = storage;
    return S_OK;
  };
}

auto StorageType(DWORD type, HRESULT hr = S_OK) {
  return [type, hr](DWORD* out) {
    *out = type;
    return hr;
  };
}

// The driver storage inside a storage of this system.
ISpdStorage* DriverStorageOf(ITeskStorage* storage) {
  ComPtr<teskcore::ITeskStorageInternal> internal;
  if (FAILED(storage->QueryInterface(teskcore::IID_ITeskStorageInternal, internal.PutVoid()))) return nullptr;
  ComPtr<ISpdStorage> driver;
  internal->GetDriverStorage(driver.Put());
  return driver.Get();  // still held by the storage
}

class StorageTest : public CoreObjectTest {
 protected:
  void SetUp() override {
    CoreObjectTest::SetUp();
    // Every storage object asks once whether its driver storage signals changes.
    for (MockSpdStorage* s : {&volume_, &folder_, &file_})
      EXPECT_CALL(*s, GetProperty(SPD_PROP_SIGNALS_CHANGE, 0, SpdKindBool, NotNull(), 1))
          .Times(AnyNumber())
          .WillRepeatedly(WriteBool(false));
  }

  void TearDown() override {
    EXPECT_EQ(driver_.refs(), 1u);
    EXPECT_EQ(volume_.refs(), 1u);
    EXPECT_EQ(folder_.refs(), 1u);
    EXPECT_EQ(file_.refs(), 1u);
    CoreObjectTest::TearDown();
  }

  // A storage of this system over `own`, on the mock volume.
  ComPtr<ITeskStorage> Storage(MockSpdStorage& own) {
    ComPtr<ITeskStorage> storage;
    EXPECT_EQ(teskcore::CreateTeskStorage(&driver_, &volume_, &own, lock_, storage.Put()), S_OK);
    return storage;
  }

  ComPtr<ITeskEnumStorage> Volumes() {
    ComPtr<ITeskEnumStorage> volumes;
    EXPECT_EQ(teskcore::CreateVolumeEnum(&driver_, lock_, volumes.Put()), S_OK);
    return volumes;
  }

  ComPtr<ITeskEnumStorage> ChildrenOf(MockSpdStorage& parent) {
    ComPtr<ITeskEnumStorage> children;
    EXPECT_EQ(Storage(parent)->EnumStorage(children.Put()), S_OK);
    return children;
  }

  // Next(celt), with the driver storages of what it delivered; the objects are released.
  struct Drawn {
    HRESULT hr;
    ULONG fetched;
    std::vector<ISpdStorage*> storages;
  };
  static Drawn Draw(ITeskEnumStorage* e, ULONG celt) {
    std::vector<ITeskStorage*> slots(celt + 1, nullptr);
    Drawn drawn{E_UNEXPECTED, 0xdeadbeef, {}};
    drawn.hr = e->Next(celt, slots.data(), &drawn.fetched);
    for (ULONG i = 0; i < celt + 1; ++i) {
      if (i < drawn.fetched && i < celt) {
        drawn.storages.push_back(DriverStorageOf(slots[i]));
        slots[i]->Release();
      } else {
        EXPECT_EQ(slots[i], nullptr) << "slot " << i << " written beyond what was delivered";
      }
    }
    return drawn;
  }

  StrictMock<MockSpdDevice> driver_;
  StrictMock<MockSpdStorage> volume_, folder_, file_;
};

// ---- Enumerators ------------------------------------------------------------------------

TEST_F(StorageTest, VolumeEnumeratorStaysAtItsEndUntilReset) {
  ComPtr<ITeskEnumStorage> volumes = Volumes();
  EXPECT_CALL(driver_, GetStorageCount(NotNull())).Times(3).WillRepeatedly(Invoke(Count(1)));
  EXPECT_CALL(driver_, GetStorage(0, NotNull())).Times(2).WillRepeatedly(Invoke(HandOut(&volume_)));

  Drawn drawn = Draw(volumes.Get(), 2);
  EXPECT_EQ(drawn.hr, S_FALSE);
  EXPECT_EQ(drawn.storages, std::vector<ISpdStorage*>{&volume_});
  drawn = Draw(volumes.Get(), 2);
  EXPECT_EQ(drawn.hr, S_FALSE);
  EXPECT_EQ(drawn.fetched, 0u);
  EXPECT_EQ(volumes->Reset(), S_OK);
  drawn = Draw(volumes.Get(), 1);
  EXPECT_EQ(drawn.hr, S_OK);
  EXPECT_EQ(drawn.storages, std::vector<ISpdStorage*>{&volume_});
}

TEST_F(StorageTest, FailedNextDeliversNothingAndKeepsItsPlace) {
  ComPtr<ITeskEnumStorage> volumes = Volumes();
  EXPECT_CALL(driver_, GetStorageCount(NotNull())).Times(2).WillRepeatedly(Invoke(Count(2)));
  {
    InSequence order;
    EXPECT_CALL(driver_, GetStorage(0, NotNull())).WillOnce(Invoke(HandOut(&volume_)));
    EXPECT_CALL(driver_, GetStorage(1, NotNull())).WillOnce(Return(kAnswer));
    EXPECT_CALL(driver_, GetStorage(0, NotNull())).WillOnce(Invoke(HandOut(&volume_)));
  }
  Drawn drawn = Draw(volumes.Get(), 2);
  EXPECT_EQ(drawn.hr, kAnswer);
  EXPECT_EQ(drawn.fetched, 0u);
  EXPECT_EQ(volume_.refs(), 1u) << "the storage delivered before the failure was kept";
  drawn = Draw(volumes.Get(), 1);
  EXPECT_EQ(drawn.hr, S_OK);
  EXPECT_EQ(drawn.storages, std::vector<ISpdStorage*>{&volume_});
}

TEST_F(StorageTest, EnumeratorsRefuseMissingPointers) {
  ComPtr<ITeskEnumStorage> volumes = Volumes();
  ITeskStorage* slot = nullptr;
  ULONG fetched = 0;
  EXPECT_EQ(volumes->Next(1, nullptr, &fetched), E_INVALIDARG);
  EXPECT_EQ(volumes->Next(1, &slot, nullptr), E_INVALIDARG);
  EXPECT_EQ(volumes->Clone(nullptr), E_INVALIDARG);
}

TEST_F(StorageTest, ChildEnumeratorReadsTheCountOnceUntilReset) {
  ComPtr<ITeskEnumStorage> children = ChildrenOf(folder_);
  {
    InSequence order;
    EXPECT_CALL(folder_, GetChildCount(NotNull())).WillOnce(Invoke(Count(1)));
    EXPECT_CALL(folder_, GetChild(0, NotNull())).WillOnce(Invoke(HandOut(&file_)));
    // A child added now is not seen until Reset.
    EXPECT_CALL(folder_, GetChildCount(NotNull())).WillOnce(Invoke(Count(2)));
    EXPECT_CALL(folder_, GetChild(0, NotNull())).WillOnce(Invoke(HandOut(&file_)));
    EXPECT_CALL(folder_, GetChild(1, NotNull())).WillOnce(Invoke(HandOut(&folder_)));
  }
  Drawn drawn = Draw(children.Get(), 1);
  EXPECT_EQ(drawn.hr, S_OK);
  EXPECT_EQ(drawn.storages, std::vector<ISpdStorage*>{&file_});
  drawn = Draw(children.Get(), 1);
  EXPECT_EQ(drawn.hr, S_FALSE);
  EXPECT_EQ(drawn.fetched, 0u);
  EXPECT_EQ(children->Reset(), S_OK);
  drawn = Draw(children.Get(), 3);
  EXPECT_EQ(drawn.hr, S_FALSE);
  EXPECT_EQ(drawn.storages, (std::vector<ISpdStorage*>{&file_, &folder_}));
}

TEST_F(StorageTest, ChildIsOnTheParentsVolume) {
  ComPtr<ITeskEnumStorage> children = ChildrenOf(folder_);
  EXPECT_CALL(folder_, GetChildCount(NotNull())).WillOnce(Invoke(Count(1)));
  EXPECT_CALL(folder_, GetChild(0, NotNull())).WillOnce(Invoke(HandOut(&file_)));
  ITeskStorage* child = nullptr;
  ULONG fetched = 0;
  ASSERT_EQ(children->Next(1, &child, &fetched), S_OK);
  ComPtr<ITeskStorage> file = ComPtr<ITeskStorage>::Adopt(child);
  ComPtr<ITeskStorageGlobals> globals;
  ASSERT_EQ(file->GetStorageGlobals(globals.Put()), S_OK);
  DWORD low = 0, high = 0;
  EXPECT_CALL(volume_, GetProperty(SPD_PROP_FREE_LOW, 0, SpdKindDword, &low, 4)).WillOnce(WriteDword(4096));
  EXPECT_CALL(volume_, GetProperty(SPD_PROP_FREE_HIGH, 0, SpdKindDword, &high, 4)).WillOnce(WriteDword(1));
  EXPECT_EQ(globals->GetTotalFree(&low, &high), S_OK);
  EXPECT_EQ(low, 4096u);
  EXPECT_EQ(high, 1u);
}

TEST_F(StorageTest, SkipPastTheLastChildRewinds) {
  ComPtr<ITeskEnumStorage> children = ChildrenOf(folder_);
  EXPECT_CALL(folder_, GetChildCount(NotNull())).WillOnce(Invoke(Count(1)));
  EXPECT_CALL(folder_, GetChild(0, NotNull())).WillOnce(Invoke(HandOut(&file_)));
  EXPECT_EQ(children->Skip(0), S_OK);
  EXPECT_EQ(children->Skip(1), S_FALSE);
  const Drawn drawn = Draw(children.Get(), 1);
  EXPECT_EQ(drawn.hr, S_OK);
  EXPECT_EQ(drawn.storages, std::vector<ISpdStorage*>{&file_});
}

TEST_F(StorageTest, VolumeSkipReadsTheCountEachTime) {
  ComPtr<ITeskEnumStorage> volumes = Volumes();
  EXPECT_CALL(driver_, GetStorageCount(NotNull())).Times(4).WillRepeatedly(Invoke(Count(3)));
  EXPECT_CALL(driver_, GetStorage(2, NotNull())).WillOnce(Invoke(HandOut(&volume_)));
  EXPECT_CALL(driver_, GetStorage(0, NotNull())).WillOnce(Invoke(HandOut(&volume_)));
  EXPECT_EQ(volumes->Skip(2), S_OK);
  EXPECT_EQ(Draw(volumes.Get(), 1).hr, S_OK);
  EXPECT_EQ(volumes->Skip(0xFFFFFFFFu), S_FALSE);  // no wrap-around
  EXPECT_EQ(Draw(volumes.Get(), 1).hr, S_OK);
}

TEST_F(StorageTest, ClonesStartWhereTheOriginalIs) {
  ComPtr<ITeskEnumStorage> volumes = Volumes();
  EXPECT_CALL(driver_, GetStorageCount(NotNull())).Times(2).WillRepeatedly(Invoke(Count(3)));
  EXPECT_CALL(driver_, GetStorage(0, NotNull())).WillOnce(Invoke(HandOut(&volume_)));
  EXPECT_CALL(driver_, GetStorage(1, NotNull())).WillOnce(Invoke(HandOut(&folder_)));
  EXPECT_EQ(Draw(volumes.Get(), 1).hr, S_OK);
  ComPtr<ITeskEnumStorage> volume_clone;
  ASSERT_EQ(volumes->Clone(volume_clone.Put()), S_OK);
  EXPECT_EQ(Draw(volume_clone.Get(), 1).storages, std::vector<ISpdStorage*>{&folder_});

  // A child clone reads the count afresh.
  ComPtr<ITeskEnumStorage> children = ChildrenOf(folder_);
  EXPECT_CALL(folder_, GetChildCount(NotNull())).Times(2).WillRepeatedly(Invoke(Count(2)));
  EXPECT_CALL(folder_, GetChild(0, NotNull())).WillOnce(Invoke(HandOut(&file_)));
  EXPECT_CALL(folder_, GetChild(1, NotNull())).WillOnce(Invoke(HandOut(&file_)));
  EXPECT_EQ(Draw(children.Get(), 1).hr, S_OK);
  ComPtr<ITeskEnumStorage> child_clone;
  ASSERT_EQ(children->Clone(child_clone.Put()), S_OK);
  const Drawn drawn = Draw(child_clone.Get(), 2);
  EXPECT_EQ(drawn.hr, S_FALSE);
  EXPECT_EQ(drawn.storages, std::vector<ISpdStorage*>{&file_});
}

TEST_F(StorageTest, EnumeratorsAreRefusedWhileTheDeviceIsBusy) {
  for (ComPtr<ITeskEnumStorage> e : {Volumes(), ChildrenOf(folder_)}) {
    Hold();
    ITeskStorage* slot = nullptr;
    ULONG fetched = 7;
    EXPECT_EQ(e->Next(1, &slot, &fetched), TESK_E_BUSY);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(e->Skip(1), TESK_E_BUSY);
    ComPtr<ITeskEnumStorage> clone;
    EXPECT_EQ(e->Clone(clone.Put()), TESK_E_BUSY);
    EXPECT_EQ(clone.Get(), nullptr);
    EXPECT_EQ(e->Reset(), S_OK);  // takes no lock
    Unhold();
  }
}

// ---- Storage methods ------------------------------------------------------------------------

WCHAR g_text[40];
DWORD g_low, g_high;
WAVEFORMATEX g_format;

enum class WhenBusy { kRefused, kIgnored };

struct StorageCall {
  const char* name;
  WhenBusy busy;
  std::function<void(MockSpdStorage&)> expect;  // the calls on the storage's own driver storage
  std::function<HRESULT(ITeskStorage*)> call;
  HRESULT result = kAnswer;
};

void PrintTo(const StorageCall& c, std::ostream* os) {
  *os << c.name;
}

template <class Out>
HRESULT MakeObject(HRESULT (STDMETHODCALLTYPE ITeskStorage::*method)(Out**), ITeskStorage* s) {
  ComPtr<Out> object;
  const HRESULT hr = (s->*method)(object.Put());
  return SUCCEEDED(hr) && !object ? E_POINTER : hr;
}

void NoDriverCall(MockSpdStorage&) {}

const StorageCall kStorageCalls[] = {
    {"GetAttributes", WhenBusy::kRefused,
     [](MockSpdStorage& s) {
       InSequence order;
       EXPECT_CALL(s, GetProperty(SPD_PROP_ATTRIBUTES, 0, SpdKindDword, &g_low, 4))
           .WillOnce(WriteDword(0x100));
       EXPECT_CALL(s, GetProperty(SPD_PROP_FORMAT, 0, SpdKindRecord, &g_format, 18))
           .WillOnce(Return(kAnswer));
     },
     [](ITeskStorage* s) { return s->GetAttributes(&g_low, &g_format); }},
    {"GetAttributesStopsAtTheFirstFailure", WhenBusy::kRefused,
     [](MockSpdStorage& s) {
       EXPECT_CALL(s, GetProperty(SPD_PROP_ATTRIBUTES, 0, SpdKindDword, &g_low, 4)).WillOnce(Return(kAnswer));
     },
     [](ITeskStorage* s) { return s->GetAttributes(&g_low, &g_format); }},
    {"GetName", WhenBusy::kRefused,
     [](MockSpdStorage& s) {
       EXPECT_CALL(s, GetProperty(SPD_PROP_NAME, 0, SpdKindString, g_text, 40)).WillOnce(Return(kAnswer));
     },
     [](ITeskStorage* s) { return s->GetName(g_text, 40); }},
    {"GetDate", WhenBusy::kRefused,
     [](MockSpdStorage& s) {
       EXPECT_CALL(s, GetProperty(SPD_PROP_DATE, 0, SpdKindString, g_text, 40)).WillOnce(Return(kAnswer));
     },
     [](ITeskStorage* s) { return s->GetDate(g_text, 40); }},
    {"GetSize", WhenBusy::kRefused,
     [](MockSpdStorage& s) {
       InSequence order;
       EXPECT_CALL(s, GetProperty(SPD_PROP_SIZE_LOW, 0, SpdKindDword, &g_low, 4)).WillOnce(WriteDword(5));
       EXPECT_CALL(s, GetProperty(SPD_PROP_SIZE_HIGH, 0, SpdKindDword, &g_high, 4)).WillOnce(Return(kAnswer));
     },
     [](ITeskStorage* s) { return s->GetSize(&g_low, &g_high); }},
    {"GetSizeStopsAtTheFirstFailure", WhenBusy::kRefused,
     [](MockSpdStorage& s) {
       EXPECT_CALL(s, GetProperty(SPD_PROP_SIZE_LOW, 0, SpdKindDword, &g_low, 4)).WillOnce(Return(kAnswer));
     },
     [](ITeskStorage* s) { return s->GetSize(&g_low, &g_high); }},
    {"Reserved", WhenBusy::kIgnored, NoDriverCall, [](ITeskStorage* s) { return s->Reserved(1); }, E_NOTIMPL},
    {"GetStorageGlobals", WhenBusy::kRefused, NoDriverCall,
     [](ITeskStorage* s) { return MakeObject(&ITeskStorage::GetStorageGlobals, s); }, S_OK},
    {"GetStorageControl", WhenBusy::kRefused, NoDriverCall,
     [](ITeskStorage* s) { return MakeObject(&ITeskStorage::GetStorageControl, s); }, S_OK},
    {"GetObjectInfo", WhenBusy::kRefused, NoDriverCall,
     [](ITeskStorage* s) { return MakeObject(&ITeskStorage::GetObjectInfo, s); }, S_OK},
    {"EnumStorage", WhenBusy::kRefused, NoDriverCall,
     [](ITeskStorage* s) { return MakeObject(&ITeskStorage::EnumStorage, s); }, S_OK},
    {"AdviseOnAFile", WhenBusy::kRefused,
     [](MockSpdStorage& s) { EXPECT_CALL(s, GetStorageType(NotNull())).WillOnce(Invoke(StorageType(2))); },
     [](ITeskStorage* s) { return s->Advise(nullptr); }, E_ACCESSDENIED},
};

class StorageCallTest : public StorageTest, public ::testing::WithParamInterface<StorageCall> {};

TEST_P(StorageCallTest, MakesItsDriverCallsOnItsOwnDriverStorage) {
  ComPtr<ITeskStorage> storage = Storage(file_);
  GetParam().expect(file_);
  EXPECT_EQ(GetParam().call(storage.Get()), GetParam().result);
}

TEST_P(StorageCallTest, WhileAnotherObjectHoldsTheDevice) {
  ComPtr<ITeskStorage> storage = Storage(file_);
  Hold();
  if (GetParam().busy == WhenBusy::kRefused) {
    EXPECT_EQ(GetParam().call(storage.Get()), TESK_E_BUSY);
  } else {
    GetParam().expect(file_);
    EXPECT_EQ(GetParam().call(storage.Get()), GetParam().result);
  }
}

INSTANTIATE_TEST_SUITE_P(Table, StorageCallTest, ::testing::ValuesIn(kStorageCalls),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(StorageTest, InternalInterfaceIsAnotherPointerToTheSameObject) {
  ComPtr<ITeskStorage> storage = Storage(file_);
  ComPtr<teskcore::ITeskStorageInternal> internal;
  ASSERT_EQ(storage->QueryInterface(teskcore::IID_ITeskStorageInternal, internal.PutVoid()), S_OK);
  EXPECT_NE(static_cast<void*>(internal.Get()), static_cast<void*>(storage.Get()));

  const ULONG file_refs = file_.refs();
  ISpdStorage* driver = nullptr;
  ASSERT_EQ(internal->GetDriverStorage(&driver), S_OK);
  EXPECT_EQ(driver, &file_);
  EXPECT_EQ(file_.refs(), file_refs + 1);
  driver->Release();

  // One count for both interfaces.
  ComPtr<ITeskStorage> back;
  ASSERT_EQ(internal->QueryInterface(IID_ITeskStorage, back.PutVoid()), S_OK);
  EXPECT_EQ(back.Get(), storage.Get());
  EXPECT_EQ(storage->AddRef(), 4u);
  EXPECT_EQ(internal->Release(), 3u);
  internal.Detach();
  back.Reset();
  EXPECT_EQ(storage->Release(), 1u);

  ComPtr<ITeskDevice> device;
  EXPECT_EQ(storage->QueryInterface(IID_ITeskDevice, device.PutVoid()), E_NOINTERFACE);
  EXPECT_EQ(device.Get(), nullptr);
}

TEST_F(StorageTest, OpaqueAccessReachesTheOwnDriverStorage) {
  ComPtr<ITeskStorage> storage = Storage(file_);
  ComPtr<ITeskOpaqueAccess> opaque;
  ASSERT_EQ(storage->QueryInterface(IID_ITeskOpaqueAccess, opaque.PutVoid()), S_OK);
  void* object = nullptr;
  EXPECT_CALL(file_, OpenOpaque(IID_ITeskServiceTheme, &object)).WillOnce(Return(kAnswer));
  EXPECT_EQ(opaque->GetOpaqueObject(IID_ITeskServiceTheme, &object), kAnswer);
}

TEST_F(StorageTest, StorageOutlivesItsDeviceAndEnumerator) {
  EXPECT_CALL(driver_, GetProperty(SPD_PROP_SIGNALS_CHANGE, 0, SpdKindBool, NotNull(), 1))
      .WillOnce(WriteBool(false));
  driver_.AddRef();
  ITeskDevice* device = nullptr;
  ASSERT_EQ(teskcore::CreateTeskDevice(&driver_, LockForDevice(), &device), S_OK);
  ITeskEnumStorage* volumes = nullptr;
  ASSERT_EQ(device->EnumStorage(&volumes), S_OK);
  EXPECT_CALL(driver_, GetStorageCount(NotNull())).WillOnce(Invoke(Count(1)));
  EXPECT_CALL(driver_, GetStorage(0, NotNull())).WillOnce(Invoke(HandOut(&volume_)));
  ITeskStorage* volume = nullptr;
  ULONG fetched = 0;
  ASSERT_EQ(volumes->Next(1, &volume, &fetched), S_OK);
  device->Release();
  volumes->Release();

  EXPECT_CALL(volume_, GetProperty(SPD_PROP_NAME, 0, SpdKindString, g_text, 40)).WillOnce(Return(S_OK));
  EXPECT_EQ(volume->GetName(g_text, 40), S_OK);
  EXPECT_EQ(volume->Release(), 0u);
}

// ---- Watching a medium --------------------------------------------------------------------

class StorageWatchTest : public StorageTest {
 protected:
  void TearDown() override {
    EXPECT_EQ(sink_.refs(), 1u) << "sink references left";
    StorageTest::TearDown();
  }
  StrictMock<MockConnect> sink_;
  Signal called_;
};

TEST_F(StorageWatchTest, OnlyAVolumeTakesASink) {
  struct Case {
    MockSpdStorage* own;
    DWORD type;
    HRESULT answer;
  };
  for (const Case& c : {Case{&folder_, 1, S_OK}, Case{&file_, 2, S_OK}, Case{&file_, 0, kAnswer}}) {
    ComPtr<ITeskStorage> storage = Storage(*c.own);
    EXPECT_CALL(*c.own, GetStorageType(NotNull())).WillOnce(Invoke(StorageType(c.type, c.answer)));
    EXPECT_EQ(storage->Advise(&sink_), E_ACCESSDENIED);
    EXPECT_EQ(sink_.refs(), 1u);
  }
}

TEST_F(StorageWatchTest, PollingThreadReportsAMediumThatCame) {
  ComPtr<ITeskStorage> volume = Storage(volume_);
  EXPECT_CALL(volume_, GetStorageType(NotNull())).Times(2).WillRepeatedly(Invoke(StorageType(0)));
  EXPECT_CALL(volume_, PollForChange()).WillRepeatedly(Return(S_OK));
  EXPECT_CALL(volume_, GetProperty(SPD_PROP_PRESENT, 0, SpdKindBool, NotNull(), 1))
      .WillRepeatedly(WriteBool(true));
  EXPECT_CALL(sink_, Connected(volume.Get())).WillRepeatedly(Invoke([this](IUnknown*) {
    called_.Set();
    return S_OK;
  }));
  ASSERT_EQ(volume->Advise(&sink_), S_OK);
  ASSERT_TRUE(called_.Wait());
  EXPECT_EQ(volume->Advise(nullptr), S_OK);
  EXPECT_EQ(sink_.refs(), 1u);
  EXPECT_EQ(teskcore::Counters().Objects(), objects_before_ + 1);  // no thread left
}

TEST_F(StorageWatchTest, EventModeWakesOnTheNamedEventUntilDestroyed) {
  EXPECT_CALL(volume_, GetProperty(SPD_PROP_SIGNALS_CHANGE, 0, SpdKindBool, NotNull(), 1))
      .WillOnce(WriteBool(true));
  ComPtr<ITeskStorage> volume = Storage(volume_);
  {
    InSequence order;
    EXPECT_CALL(volume_, SetChangeEvent(NotNull())).WillOnce(Return(S_OK));
    EXPECT_CALL(volume_, SetChangeEvent(IsNull())).WillOnce(Return(S_OK));
  }
  EXPECT_CALL(volume_, GetStorageType(NotNull())).WillOnce(Invoke(StorageType(0)));
  EXPECT_CALL(volume_, GetProperty(SPD_PROP_PRESENT, 0, SpdKindBool, NotNull(), 1))
      .WillOnce(WriteBool(false));
  EXPECT_CALL(sink_, Disconnected(volume.Get())).WillOnce(Invoke([this](IUnknown*) {
    called_.Set();
    return S_OK;
  }));
  ASSERT_EQ(volume->Advise(&sink_), S_OK);
  char name[64];
  std::snprintf(name, sizeof(name), "CTeskStorage.%llx",
                static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(volume.Get())));
  const HANDLE named = OpenEventA(EVENT_ALL_ACCESS, FALSE, name);
  ASSERT_NE(named, nullptr) << "no event named " << name;
  SetEvent(named);
  ASSERT_TRUE(called_.Wait());
  CloseHandle(named);
  volume.Reset();  // stops the driver signalling and joins the thread
  EXPECT_EQ(teskcore::Counters().Objects(), objects_before_);
}

// ---- Companion objects ------------------------------------------------------------------------

struct GlobalsCall {
  const char* name;
  std::function<void(MockSpdStorage&)> expect;  // the calls on the volume
  std::function<HRESULT(ITeskStorageGlobals*)> call;
  HRESULT result = kAnswer;
};

void PrintTo(const GlobalsCall& c, std::ostream* os) {
  *os << c.name;
}

TeskId g_id;

const GlobalsCall kGlobalsCalls[] = {
    {"GetCapabilities",
     [](MockSpdStorage& v) {
       EXPECT_CALL(v, GetProperty(SPD_PROP_CAPABILITIES, 0, SpdKindDword, &g_low, 4))
           .WillOnce(Return(kAnswer));
     },
     [](ITeskStorageGlobals* g) { return g->GetCapabilities(&g_low); }},
    {"GetTotalFreeStopsAtTheFirstFailure",
     [](MockSpdStorage& v) {
       EXPECT_CALL(v, GetProperty(SPD_PROP_FREE_LOW, 0, SpdKindDword, &g_low, 4)).WillOnce(Return(kAnswer));
     },
     [](ITeskStorageGlobals* g) { return g->GetTotalFree(&g_low, &g_high); }},
    {"GetTotalBad",
     [](MockSpdStorage& v) {
       InSequence order;
       EXPECT_CALL(v, GetProperty(SPD_PROP_BAD_LOW, 0, SpdKindDword, &g_low, 4)).WillOnce(WriteDword(0));
       EXPECT_CALL(v, GetProperty(SPD_PROP_BAD_HIGH, 0, SpdKindDword, &g_high, 4)).WillOnce(Return(kAnswer));
     },
     [](ITeskStorageGlobals* g) { return g->GetTotalBad(&g_low, &g_high); }},
    {"GetStatus",
     [](MockSpdStorage& v) {
       EXPECT_CALL(v, GetProperty(SPD_PROP_STATUS, 0, SpdKindDword, &g_low, 4)).WillOnce(Return(kAnswer));
     },
     [](ITeskStorageGlobals* g) { return g->GetStatus(&g_low); }},
    {"GetSerialNumber",
     [](MockSpdStorage& v) {
       InSequence order;
       EXPECT_CALL(v, GetProperty(SPD_PROP_VENDOR_ID, 0, SpdKindDword, NotNull(), 4))
           .WillOnce(WriteDword(0x7A3D));
       EXPECT_CALL(v, GetProperty(SPD_PROP_SERIAL, 0, SpdKindBlob, NotNull(), sizeof(SpdBlob)))
           .WillOnce(WriteBlob({1, 2, 3}));
     },
     [](ITeskStorageGlobals* g) {
       g_id = TeskId{TESK_ID_SIZE_COUNTED, 0, {}, 0};
       const HRESULT hr = g->GetSerialNumber(&g_id);
       return hr == S_OK && g_id.dwVendorId == 0x7A3D && g_id.cbId == 3 && g_id.abId[2] == 3 ? kAnswer
                                                                                             : E_FAIL;
     }},
    {"Initialize", [](MockSpdStorage&) {},
     [](ITeskStorageGlobals* g) { return g->Initialize(TESK_MODE_BLOCK, nullptr); }, E_NOTIMPL},
};

class GlobalsCallTest : public StorageTest, public ::testing::WithParamInterface<GlobalsCall> {};

TEST_P(GlobalsCallTest, AsksTheVolume) {
  ComPtr<ITeskStorageGlobals> globals;
  ASSERT_EQ(Storage(file_)->GetStorageGlobals(globals.Put()), S_OK);
  GetParam().expect(volume_);
  EXPECT_EQ(GetParam().call(globals.Get()), GetParam().result);
}

INSTANTIATE_TEST_SUITE_P(Table, GlobalsCallTest, ::testing::ValuesIn(kGlobalsCalls),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(StorageTest, GlobalsWhileAnotherObjectHoldsTheDevice) {
  ComPtr<ITeskStorageGlobals> globals;
  ASSERT_EQ(Storage(volume_)->GetStorageGlobals(globals.Put()), S_OK);
  Hold();
  DWORD low = 0, high = 0;
  EXPECT_EQ(globals->GetCapabilities(&low), TESK_E_BUSY);
  EXPECT_EQ(globals->GetTotalFree(&low, &high), TESK_E_BUSY);
  EXPECT_EQ(globals->GetTotalBad(&low, &high), TESK_E_BUSY);
  TeskId id{TESK_ID_SIZE_SHORT, 0, {}, 0};
  EXPECT_EQ(globals->GetSerialNumber(&id), TESK_E_BUSY);
  // The status reports what the holder is doing.
  EXPECT_EQ(globals->GetStatus(&low), S_OK);
  EXPECT_EQ(low, kHeldStatus);
}

TEST_F(StorageTest, ObjectInfoReadsAndWritesThePlayPositions) {
  ComPtr<ITeskObjectInfo> info;
  ASSERT_EQ(Storage(file_)->GetObjectInfo(info.Put()), S_OK);
  using Getter = HRESULT (STDMETHODCALLTYPE ITeskObjectInfo::*)(DWORD*);
  const std::pair<UINT, Getter> getters[] = {
      {SPD_PROP_PLAY_LENGTH, &ITeskObjectInfo::GetPlayLength},
      {SPD_PROP_PLAY_OFFSET, &ITeskObjectInfo::GetPlayOffset},
      {SPD_PROP_TOTAL_LENGTH, &ITeskObjectInfo::GetTotalLength},
      {SPD_PROP_LAST_PLAY_POSITION, &ITeskObjectInfo::GetLastPlayPosition},
      {SPD_PROP_LONGEST_PLAY_POSITION, &ITeskObjectInfo::GetLongestPlayPosition},
  };
  for (const auto& [id, getter] : getters) {
    DWORD value = 0;
    EXPECT_CALL(file_, GetProperty(id, 0, SpdKindDword, &value, 4)).WillOnce(WriteDword(id * 10, kAnswer));
    EXPECT_EQ((info.Get()->*getter)(&value), kAnswer) << "property " << id;
    EXPECT_EQ(value, id * 10);
  }
  auto holds = [](DWORD expected) {
    return Truly([expected](const void* in) { return *static_cast<const DWORD*>(in) == expected; });
  };
  EXPECT_CALL(file_, SetProperty(SPD_PROP_PLAY_LENGTH, 0, SpdKindDword, holds(180), 4))
      .WillOnce(Return(kAnswer));
  EXPECT_EQ(info->SetPlayLength(180), kAnswer);
  EXPECT_CALL(file_, SetProperty(SPD_PROP_PLAY_OFFSET, 0, SpdKindDword, holds(15), 4))
      .WillOnce(Return(kAnswer));
  EXPECT_EQ(info->SetPlayOffset(15), kAnswer);

  Hold();
  DWORD value = 0;
  for (const auto& [id, getter] : getters) EXPECT_EQ((info.Get()->*getter)(&value), TESK_E_BUSY) << id;
  EXPECT_EQ(info->SetPlayLength(1), TESK_E_BUSY);
  EXPECT_EQ(info->SetPlayOffset(1), TESK_E_BUSY);
}

TEST_F(StorageTest, StorageControlReportsTheHoldersStatusWithoutTakingTheLock) {
  ComPtr<ITeskStorageControl> control;
  ASSERT_EQ(Storage(file_)->GetStorageControl(control.Put()), S_OK);
  DWORD status = 0xFFFF;
  EXPECT_EQ(control->GetStatus(&status), S_OK);
  EXPECT_EQ(status, 0u);
  Hold();
  EXPECT_EQ(control->GetStatus(&status), S_OK);
  EXPECT_EQ(status, kHeldStatus);
  EXPECT_EQ(control->Reserved(1, 2), E_NOTIMPL);
}

}  // namespace
