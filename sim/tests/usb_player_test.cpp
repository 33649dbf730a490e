// The player's USB face in-process: descriptors byte for byte, the default pipe's requests,
// the firmware's vendor table and the injected faults.

#include <tesk/sim_usb.h>

#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tesk/win32/winerror.h>

namespace tesk::sim {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

using Bytes = std::vector<BYTE>;

// UTF-16LE string descriptor bytes for ASCII text, written out the long way.
Bytes StringBytes(const char* text) {
  Bytes out;
  for (const char* c = text; *c; ++c) out.insert(out.end(), {static_cast<BYTE>(*c), 0});
  out.insert(out.begin(), {static_cast<BYTE>(out.size() + 2), 3});
  return out;
}

TEST(UsbPlayerTest, DescriptorsByteForByte) {
  UsbPlayer player("0123456789ABCDEF");
  EXPECT_THAT(player.DeviceDescriptor(),
              ElementsAre(18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x3D, 0x7A, 0x41, 0x00, 0x00, 0x01, 1, 2, 3, 1));
  EXPECT_THAT(player.ConfigurationDescriptor(), ElementsAre(9, 2, 32, 0, 1, 1, 0, 0x80, 250,     //
                                                            9, 4, 0, 0, 2, 0xFF, 0xFF, 0xFF, 0,  //
                                                            7, 5, 0x81, 0x02, 0x00, 0x02, 0,     //
                                                            7, 5, 0x02, 0x02, 0x00, 0x02, 0));   //
  EXPECT_THAT(*player.Descriptor(6, 0, 0), ElementsAre(10, 6, 0x00, 0x02, 0, 0, 0, 64, 1, 0));
  const Bytes other_speed = *player.Descriptor(7, 0, 0);
  ASSERT_EQ(other_speed.size(), 32u);
  EXPECT_EQ(other_speed[1], 7);
  EXPECT_THAT(Bytes(other_speed.begin() + 22, other_speed.begin() + 24), ElementsAre(64, 0));

  struct Case {
    BYTE index;
    WORD language;
    Bytes expected;
  };
  const Case cases[] = {
      {0, 0, {4, 3, 0x09, 0x04}},
      {0, 0x0407, {4, 3, 0x09, 0x04}},  // the language list whatever the language asked
      {1, 0x0409, StringBytes("Holvenn")},
      {2, 0x0409, StringBytes("Gannet Q41")},
      {3, 0x0409, StringBytes("0123456789ABCDEF")},
  };
  for (const auto& c : cases) {
    const auto descriptor = player.StringDescriptor(c.index, c.language);
    ASSERT_TRUE(descriptor) << int{c.index};
    EXPECT_THAT(*descriptor, ElementsAreArray(c.expected)) << int{c.index};
  }
  EXPECT_EQ(StringBytes("0123456789ABCDEF")[0], 34);
}

TEST(UsbPlayerTest, MissingDescriptorsStall) {
  UsbPlayer player("12");
  const struct {
    BYTE type, index;
    WORD language;
  } cases[] = {{1, 1, 0}, {2, 1, 0}, {3, 4, 0x0409}, {3, 1, 0}, {3, 3, 0x0407}, {4, 0, 0}, {0, 0, 0}};
  for (const auto& c : cases) {
    Bytes buffer(8, 0xEE);
    const TransferResult result = player.GetDescriptor(c.type, c.index, c.language, buffer);
    EXPECT_EQ(result.status, TransferStatus::kStall) << int{c.type} << "/" << int{c.index};
    EXPECT_EQ(result.error, static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_THAT(buffer, ElementsAreArray(Bytes(8, 0xEE)));
  }
}

TEST(UsbPlayerTest, DescriptorReadsAreCutToTheBuffer) {
  UsbPlayer player("0123456789ABCDEF0011");
  Bytes buffer(256, 0xEE);
  TransferResult result = player.GetDescriptor(3, 3, 0x0409, buffer);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.length, 42u);
  EXPECT_EQ(buffer[0], 42);
  EXPECT_EQ(buffer[42], 0xEE);

  Bytes eight(8, 0xEE);
  result = player.GetDescriptor(1, 0, 0, eight);
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.length, 8u);
  EXPECT_THAT(eight, ElementsAre(18, 1, 0, 2, 0, 0, 0, 64));
}

TEST(UsbPlayerTest, SerialNumbersAreCheckedAsAStringDescriptorHoldsThem) {
  EXPECT_TRUE(IsValidSerialNumber("0123456789ABCDEF"));
  EXPECT_TRUE(IsValidSerialNumber(" 12 x"));
  EXPECT_TRUE(IsValidSerialNumber(std::string(126, 'A')));
  EXPECT_FALSE(IsValidSerialNumber(std::string(127, 'A')));
  EXPECT_FALSE(IsValidSerialNumber(""));
  EXPECT_FALSE(IsValidSerialNumber("tab\there"));
  EXPECT_FALSE(IsValidSerialNumber("caf\xE9"));
  EXPECT_EQ(MakeStringDescriptor(std::string(126, 'A'))[0], 254);
}

// Runs one control transfer with a buffer of `size` bytes preset to 0xEE.
struct Transfer {
  TransferResult result;
  Bytes data;
};
Transfer Exchange(UsbPlayer& player, BYTE request_type, BYTE request, WORD value, WORD index, WORD size) {
  Transfer t{{}, Bytes(size, 0xEE)};
  t.result = player.Control({request_type, request, value, index, size}, t.data);
  return t;
}

TEST(UsbPlayerTest, StandardRequestsOnTheDefaultPipe) {
  UsbPlayer player("0123456789ABCDEF");
  Transfer t = Exchange(player, 0x80, 6, 0x0100, 0, 18);  // GET_DESCRIPTOR device
  ASSERT_TRUE(t.result.ok());
  EXPECT_EQ(t.data, player.DeviceDescriptor());
  t = Exchange(player, 0x80, 6, 0x0303, 0x0409, 255);  // GET_DESCRIPTOR string 3
  ASSERT_TRUE(t.result.ok());
  EXPECT_EQ(t.result.length, 34u);
  EXPECT_EQ(t.data[2], '0');
  t = Exchange(player, 0x80, 6, 0x0200, 0, 9);  // the first 9 bytes give wTotalLength
  EXPECT_THAT(t.data, ElementsAre(9, 2, 32, 0, 1, 1, 0, 0x80, 250));

  EXPECT_THAT(Exchange(player, 0x80, 0, 0, 0, 2).data, ElementsAre(0, 0));  // GET_STATUS device
  EXPECT_THAT(Exchange(player, 0x80, 8, 0, 0, 1).data, ElementsAre(1));     // GET_CONFIGURATION
  EXPECT_THAT(Exchange(player, 0x81, 10, 0, 0, 1).data, ElementsAre(0));    // GET_INTERFACE

  // Halting the bulk IN endpoint shows in its status until CLEAR_FEATURE.
  EXPECT_TRUE(Exchange(player, 0x02, 3, 0, 0x81, 0).result.ok());
  EXPECT_THAT(Exchange(player, 0x82, 0, 0, 0x81, 2).data, ElementsAre(1, 0));
  EXPECT_THAT(Exchange(player, 0x82, 0, 0, 0x02, 2).data, ElementsAre(0, 0));
  EXPECT_TRUE(Exchange(player, 0x02, 1, 0, 0x81, 0).result.ok());
  EXPECT_THAT(Exchange(player, 0x82, 0, 0, 0x81, 2).data, ElementsAre(0, 0));

  EXPECT_TRUE(Exchange(player, 0x00, 9, 0, 0, 0).result.ok());  // SET_CONFIGURATION 0: unconfigured
  EXPECT_EQ(player.configuration(), 0);
  EXPECT_THAT(Exchange(player, 0x80, 8, 0, 0, 1).data, ElementsAre(0));
  EXPECT_EQ(Exchange(player, 0x81, 10, 0, 0, 1).result.status, TransferStatus::kStall);
  EXPECT_TRUE(Exchange(player, 0x00, 9, 1, 0, 0).result.ok());

  const struct {
    BYTE request_type, request;
    WORD value, index;
  } refused[] = {
      {0x00, 9, 2, 0},     // no configuration 2
      {0x82, 0, 0, 0x83},  // no endpoint 0x83
      {0x02, 3, 0, 0x05},  // halting an endpoint the player lacks
      {0x01, 11, 1, 0},    // no alternate setting 1
      {0x81, 10, 0, 1},    // no interface 1
      {0x80, 12, 0, 0},    // SYNCH_FRAME is for isochronous endpoints
      {0xA1, 1, 0, 0},     // no class requests
      {0xC1, 0, 0, 0},     // vendor requests go to the device
      {0xC0, 0x1F, 0, 0},  // a vendor code the firmware does not know
  };
  for (const auto& r : refused) {
    const Transfer refusal = Exchange(player, r.request_type, r.request, r.value, r.index, 4);
    EXPECT_EQ(refusal.result.status, TransferStatus::kStall)
        << std::hex << int{r.request_type} << " " << int{r.request};
  }
}

TEST(UsbPlayerTest, FirmwareAnswersVendorRequestsFromItsTable) {
  UsbPlayer player("0123456789ABCDEF");
  // Connect, on drive 2 (bits 7 to 5), answers one word.
  Transfer t = Exchange(player, 0xC0, (2 << 5) | 0, 0, 0, 4);
  ASSERT_TRUE(t.result.ok());
  EXPECT_EQ(t.result.length, 4u);
  EXPECT_THAT(t.data, ElementsAre(1, 0, 0, 0));
  t = Exchange(player, 0xC0, 1, 0, 0, 2);  // a short buffer takes what fits
  EXPECT_EQ(t.result.length, 2u);

  // A handler added later sees the whole setup packet and the data stage.
  SetupPacket seen;
  player.firmware().Set(26, [&seen](UsbPlayer&, const SetupPacket& setup, std::span<BYTE> data) {
    seen = setup;
    DWORD written = PutAnswerWord(data, 0x11223344);
    written += PutAnswerWord(data, setup.value, 4);
    return TransferResult::Done(written);
  });
  EXPECT_TRUE(player.firmware().Has(26));
  t = Exchange(player, 0xC0, (1 << 5) | 26, 0x0102, 0x0304, 8);
  ASSERT_TRUE(t.result.ok());
  EXPECT_THAT(t.data, ElementsAre(0x44, 0x33, 0x22, 0x11, 0x02, 0x01, 0, 0));
  EXPECT_EQ(seen.request, (1 << 5) | 26);
  EXPECT_EQ(seen.index, 0x0304);
  EXPECT_EQ(seen.length, 8);

  player.firmware().Remove(26);
  EXPECT_EQ(Exchange(player, 0xC0, 26, 0, 0, 8).result.status, TransferStatus::kStall);
  EXPECT_EQ(Exchange(player, 0x40, 0, 0, 0, 0).result.status, TransferStatus::kStall);  // connect is IN only
}

TEST(UsbPlayerTest, FaultsFailThenShortenTheNextRequests) {
  UsbPlayer player("0123456789ABCDEF");
  FaultSettings faults;
  faults.fail_next = 2;
  faults.fail_error = ERROR_DEVICE_NOT_CONNECTED;
  faults.short_next = 1;
  faults.short_length = 5;

  Bytes buffer(18, 0xEE);
  for (int i = 0; i < 2; ++i) {
    const TransferResult failed = player.GetDescriptor(1, 0, 0, buffer, faults);
    EXPECT_EQ(failed.status, TransferStatus::kError);
    EXPECT_EQ(failed.error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_THAT(buffer, ElementsAreArray(Bytes(18, 0xEE)));
  }
  EXPECT_EQ(faults.fail_next, 0u);

  // A stall does not use up the short answer; the next answered request does.
  Bytes word(4, 0xEE);
  EXPECT_EQ(player.Control({0xC0, 0x1F, 0, 0, 4}, word, faults).status, TransferStatus::kStall);
  EXPECT_EQ(faults.short_next, 1u);
  TransferResult cut = player.Control({0x80, 6, 0x0100, 0, 18}, buffer, faults);
  ASSERT_TRUE(cut.ok());
  EXPECT_EQ(cut.length, 5u);
  EXPECT_THAT(buffer, ElementsAre(18, 1, 0, 2, 0, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE,
                                  0xEE, 0xEE, 0xEE));
  EXPECT_EQ(faults, (FaultSettings{0, ERROR_DEVICE_NOT_CONNECTED, 0, 5, 0}));

  const TransferResult whole = player.GetDescriptor(1, 0, 0, buffer, faults);
  EXPECT_EQ(whole.length, 18u);
  EXPECT_EQ(buffer, player.DeviceDescriptor());
}

}  // namespace
}  // namespace tesk::sim
