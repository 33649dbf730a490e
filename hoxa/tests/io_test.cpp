// Opening players and the two requests to the access driver, checked byte for byte against
// what the echo backend received.
#include <functional>
#include <string>
#include <vector>

#include "echo_backend.h"
#include "hoxa_test_support.h"

namespace hoxa_test {
namespace {

using Bytes = std::vector<BYTE>;

class HoxaDeviceIoTest : public HoxaTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(HoxaTest::SetUp());
    player_ = AddPlayer("G0001");
    ASSERT_FALSE(HasFatalFailure());
    device_ = hoxa_.OpenDevice(player_.access_path.c_str(), HOXA_OPEN_EXCLUSIVE);
    ASSERT_NE(device_, INVALID_HANDLE_VALUE) << "error " << GetLastError();
  }
  void TearDown() override {
    if (device_ != INVALID_HANDLE_VALUE) {
      EXPECT_TRUE(hoxa_.CloseDevice(device_));
    }
    HoxaTest::TearDown();
  }

  Player player_;
  HANDLE device_ = INVALID_HANDLE_VALUE;
};

TEST_F(HoxaDeviceIoTest, DescriptorRequestBytes) {
  struct Case {
    BYTE type, index;
    WORD language;
    Bytes request;
  };
  for (const Case& c : {Case{3, 2, 0x0409, {0x03, 0x02, 0x09, 0x04}}, Case{1, 0, 0, {0x01, 0x00, 0x00, 0x00}},
                        Case{3, 0xEE, 0xABCD, {0x03, 0xEE, 0xCD, 0xAB}}}) {
    SCOPED_TRACE(testing::Message() << int{c.type} << "/" << int{c.index} << "/" << c.language);
    // The echo: the 4-byte request, then the buffer size the driver was given.
    Bytes expected = c.request;
    expected.insert(expected.end(), {0x10, 0x00, 0x00, 0x00});

    Bytes buffer(16, 0xEE);
    DWORD count = 0xDEADBEEF;
    ASSERT_TRUE(hoxa_.GetDescriptor(device_, c.type, c.index, c.language, buffer.data(), 16, &count));
    EXPECT_EQ(count, 8u);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 8), expected);

    // Without a count pointer the request is the same and the count is dropped.
    Bytes again(16, 0xEE);
    ASSERT_TRUE(hoxa_.GetDescriptor(device_, c.type, c.index, c.language, again.data(), 16, nullptr));
    EXPECT_EQ(again, buffer);
  }
}

TEST_F(HoxaDeviceIoTest, ControlTransferRequestBytes) {
  struct Case {
    DWORD request_type;
    BYTE request;
    WORD value, index;
    Bytes record;
  };
  for (const Case& c : {
           Case{0xC0, 5, 7, 2, {0xC0, 0x00, 0x00, 0x00, 0xC0, 0x05, 0x07, 0x00, 0x02, 0x00}},
           // The upper bits travel in Flags; the setup packet keeps the low byte.
           Case{0x1C0, 5, 7, 2, {0xC0, 0x01, 0x00, 0x00, 0xC0, 0x05, 0x07, 0x00, 0x02, 0x00}},
           Case{0x12345680,
                0x21,
                0xBEEF,
                0x0102,
                {0x80, 0x56, 0x34, 0x12, 0x80, 0x21, 0xEF, 0xBE, 0x02, 0x01}},
       }) {
    SCOPED_TRACE(testing::Message() << std::hex << c.request_type);
    // The echo: the 10-byte record, then wLength, which is the buffer size.
    Bytes expected = c.record;
    expected.insert(expected.end(), {0x20, 0x00});

    Bytes buffer(32, 0xEE);
    DWORD count = 0xDEADBEEF;
    ASSERT_TRUE(hoxa_.ControlTransfer(device_, c.request, c.value, c.index, buffer.data(), 32, &count,
                                      c.request_type));
    EXPECT_EQ(count, 12u);
    EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + 12), expected);

    Bytes again(32, 0xEE);
    ASSERT_TRUE(hoxa_.ControlTransfer(device_, c.request, c.value, c.index, again.data(), 32, nullptr,
                                      c.request_type));
    EXPECT_EQ(again, buffer);
  }
}

TEST_F(HoxaDeviceIoTest, AHostToDeviceTransferMayComeFromReadOnlyMemory) {
  DWORD count = 0;
  EXPECT_TRUE(hoxa_.ControlTransfer(device_, 9, 1, 0, ReadOnlyBytes(), 8, &count, 0x40));
  EXPECT_EQ(count, 8u);
}

TEST_F(HoxaDeviceIoTest, ARequestTheDeviceRefusesKeepsTheSystemsError) {
  BYTE buffer[16];
  DWORD count = 0;
  SetLastError(0);
  EXPECT_FALSE(hoxa_.GetDescriptor(device_, kStall, 0, 0, buffer, sizeof(buffer), &count));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_GEN_FAILURE});
  SetLastError(0);
  EXPECT_FALSE(hoxa_.ControlTransfer(device_, kStall, 0, 0, buffer, sizeof(buffer), nullptr, 0xC0));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_GEN_FAILURE});
  SetLastError(0);
  EXPECT_FALSE(hoxa_.GetDescriptor(INVALID_HANDLE_VALUE, 1, 0, 0, buffer, sizeof(buffer), &count));
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
}

TEST_F(HoxaDeviceIoTest, BadPointersAreInvalidParameters) {
  BYTE buffer[16];
  DWORD count = 0;
  auto* read_only_count = reinterpret_cast<DWORD*>(ReadOnlyBytes());
  struct Case {
    const char* what;
    std::function<BOOL()> call;
  };
  const Case cases[] = {
      {"descriptor into read-only memory",
       [&] { return hoxa_.GetDescriptor(device_, 1, 0, 0, ReadOnlyBytes(), 18, &count); }},
      {"descriptor into unmapped memory",
       [&] { return hoxa_.GetDescriptor(device_, 1, 0, 0, UnmappedBytes(), 18, &count); }},
      {"descriptor count read-only",
       [&] { return hoxa_.GetDescriptor(device_, 1, 0, 0, buffer, sizeof(buffer), read_only_count); }},
      {"transfer from unmapped memory",
       [&] { return hoxa_.ControlTransfer(device_, 5, 0, 0, UnmappedBytes(), 8, &count, 0xC0); }},
      {"transfer count read-only",
       [&] {
         return hoxa_.ControlTransfer(device_, 5, 0, 0, buffer, sizeof(buffer), read_only_count, 0xC0);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetLastError(0);
    EXPECT_FALSE(c.call());
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
  }
  EXPECT_STREQ(ReadOnlyBytes(), "read only");
}

class HoxaOpenDeviceTest : public HoxaTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(HoxaTest::SetUp());
    player_ = AddPlayer("G0001");
    ASSERT_FALSE(HasFatalFailure());
  }
  HANDLE Open(DWORD flags) { return hoxa_.OpenDevice(player_.access_path.c_str(), flags); }

  Player player_;
};

TEST_F(HoxaOpenDeviceTest, PresenceTestThenExclusiveRead) {
  // As spgannet uses it: flags 0 and an immediate close, then an exclusive open to read.
  const HANDLE probe = Open(0);
  ASSERT_NE(probe, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(hoxa_.CloseDevice(probe));

  const HANDLE device = Open(HOXA_OPEN_EXCLUSIVE);
  ASSERT_NE(device, INVALID_HANDLE_VALUE);
  BYTE buffer[18];
  DWORD count = 0;
  EXPECT_TRUE(hoxa_.GetDescriptor(device, 1, 0, 0, buffer, sizeof(buffer), &count));
  EXPECT_TRUE(hoxa_.CloseDevice(device));
}

TEST_F(HoxaOpenDeviceTest, BitZeroAloneDecidesSharing) {
  struct Case {
    DWORD first, second;
    bool second_opens;
  };
  for (const Case& c : {Case{0, 0, true}, Case{0xFFFFFFFE, 0, true}, Case{0, 1, false}, Case{1, 0, false},
                        Case{0xFFFFFFFF, 0, false}, Case{1, 1, false}}) {
    SCOPED_TRACE(testing::Message() << std::hex << c.first << " then " << c.second);
    const HANDLE first = Open(c.first);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    SetLastError(0);
    const HANDLE second = Open(c.second);
    if (c.second_opens) {
      EXPECT_NE(second, INVALID_HANDLE_VALUE);
      if (second != INVALID_HANDLE_VALUE) hoxa_.CloseDevice(second);
    } else {
      EXPECT_EQ(second, INVALID_HANDLE_VALUE);
      EXPECT_EQ(GetLastError(), DWORD{ERROR_SHARING_VIOLATION});
    }
    EXPECT_TRUE(hoxa_.CloseDevice(first));
  }
}

TEST_F(HoxaOpenDeviceTest, AnOpenHeldByAnotherProcessExcludesAsItsFlagsSay) {
  const std::string ready = "hoxa-test-ready", release = "hoxa-test-release";
  for (const char* held_flags : {"1", "0"}) {
    SCOPED_TRACE(testing::Message() << "the other process opened with flags " << held_flags);
    const HANDLE ready_event = CreateEventA(nullptr, TRUE, FALSE, ready.c_str());
    const HANDLE release_event = CreateEventA(nullptr, TRUE, FALSE, release.c_str());
    ASSERT_TRUE(ready_event && release_event);
    const int holder =
        tesk::testing::StartChild("hoxa_holder", {player_.access_path, held_flags, ready, release});
    ASSERT_EQ(WaitForSingleObject(ready_event, 60000), DWORD{WAIT_OBJECT_0});

    SetLastError(0);
    const HANDLE exclusive = Open(HOXA_OPEN_EXCLUSIVE);
    EXPECT_EQ(exclusive, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_SHARING_VIOLATION});
    const HANDLE shared = Open(0);
    if (held_flags == std::string("1")) {
      EXPECT_EQ(shared, INVALID_HANDLE_VALUE);
      EXPECT_EQ(GetLastError(), DWORD{ERROR_SHARING_VIOLATION});
    } else {
      EXPECT_NE(shared, INVALID_HANDLE_VALUE);
    }
    if (shared != INVALID_HANDLE_VALUE) hoxa_.CloseDevice(shared);

    SetEvent(release_event);
    const tesk::testing::ChildResult result = tesk::testing::WaitChild(holder);
    EXPECT_EQ(result.exit_code, 0) << result.output;
    CloseHandle(ready_event);
    CloseHandle(release_event);

    // Once the other process has closed it, an exclusive open succeeds here.
    const HANDLE after = Open(HOXA_OPEN_EXCLUSIVE);
    EXPECT_NE(after, INVALID_HANDLE_VALUE);
    if (after != INVALID_HANDLE_VALUE) hoxa_.CloseDevice(after);
  }
}

TEST_F(HoxaOpenDeviceTest, PathsThatCannotBeOpened) {
  SetLastError(0);
  EXPECT_EQ(hoxa_.OpenDevice(UnmappedBytes(), 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
  SetLastError(0);
  EXPECT_EQ(hoxa_.OpenDevice(nullptr, 0), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});

  // A player that has gone: the system's error, whatever it is.
  ASSERT_EQ(tesk::win32::RemoveDevice(player_.device_id), DWORD{ERROR_SUCCESS});
  SetLastError(0);
  EXPECT_EQ(Open(0), INVALID_HANDLE_VALUE);
  EXPECT_NE(GetLastError(), DWORD{ERROR_SUCCESS});
  EXPECT_NE(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
}

}  // namespace
}  // namespace hoxa_test
