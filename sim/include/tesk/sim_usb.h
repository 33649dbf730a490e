// The simulated Gannet player's USB face: its descriptors, the standard requests of its default
// pipe, and the firmware's table of vendor requests. Pure model: no device tree, no registry;
// the backend module and the tests drive it directly.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <tesk/win32/types.h>
#include <tesk/win32/winerror.h>

#if defined(TESK_BUILDING_SIM)
#define TESK_SIM_API __attribute__((visibility("default")))
#else
#define TESK_SIM_API
#endif

namespace tesk::sim {

// The Gannet player ("Holvenn Q41") as it identifies itself on the bus. The vendor id is the
// one its serial numbers go with; the product id and release are ours (0x0041 for the Q41,
// firmware 1.00).
inline constexpr WORD kVendorId = 0x7A3D;
inline constexpr WORD kProductId = 0x0041;
inline constexpr WORD kDeviceRelease = 0x0100;
inline constexpr WORD kLanguageEnglishUs = 0x0409;
inline constexpr char kManufacturer[] = "Holvenn";
inline constexpr char kProduct[] = "Gannet Q41";

// String indexes in the device descriptor.
inline constexpr BYTE kManufacturerIndex = 1;
inline constexpr BYTE kProductIndex = 2;
inline constexpr BYTE kSerialNumberIndex = 3;

// The one interface's pipes: pipe 0 is the bulk IN endpoint, pipe 1 the bulk OUT endpoint.
inline constexpr BYTE kBulkInEndpoint = 0x81;
inline constexpr BYTE kBulkOutEndpoint = 0x02;
inline constexpr WORD kBulkPacketSize = 512;

// Descriptor types and standard requests (USB 2.0, chapter 9).
inline constexpr BYTE kDeviceDescriptorType = 1;
inline constexpr BYTE kConfigurationDescriptorType = 2;
inline constexpr BYTE kStringDescriptorType = 3;
inline constexpr BYTE kDeviceQualifierDescriptorType = 6;
inline constexpr BYTE kOtherSpeedConfigurationDescriptorType = 7;

inline constexpr BYTE kRequestGetStatus = 0;
inline constexpr BYTE kRequestClearFeature = 1;
inline constexpr BYTE kRequestSetFeature = 3;
inline constexpr BYTE kRequestSetAddress = 5;
inline constexpr BYTE kRequestGetDescriptor = 6;
inline constexpr BYTE kRequestGetConfiguration = 8;
inline constexpr BYTE kRequestSetConfiguration = 9;
inline constexpr BYTE kRequestGetInterface = 10;
inline constexpr BYTE kRequestSetInterface = 11;

// Vendor requests: bRequest carries the drive number in bits 7 to 5 and the request code in
// bits 4 to 0; the answer is one or two little-endian 32-bit words.
inline constexpr BYTE kVendorCodeMask = 0x1F;
inline constexpr BYTE kVendorConnect = 0;
inline constexpr BYTE kVendorDisconnect = 1;

// The first eight bytes of a control transfer.
struct SetupPacket {
  BYTE request_type = 0;  // bmRequestType: bit 7 device to host, bits 6-5 type, 4-0 recipient
  BYTE request = 0;
  WORD value = 0;
  WORD index = 0;
  WORD length = 0;  // the size of the data stage

  bool DeviceToHost() const { return (request_type & 0x80) != 0; }
  BYTE Type() const { return static_cast<BYTE>((request_type >> 5) & 3); }  // 0 standard, 1 class, 2 vendor
  BYTE Recipient() const { return static_cast<BYTE>(request_type & 0x1F); }
};

enum class TransferStatus {
  kDone,   // the data stage moved `length` bytes
  kStall,  // the device refused the request
  kError,  // the bus failed the transfer (an injected fault); `error` says how
};

struct TransferResult {
  TransferStatus status = TransferStatus::kDone;
  DWORD length = 0;  // bytes moved in the data stage
  DWORD error = 0;   // the Win32 error a caller sees for kStall and kError

  bool ok() const { return status == TransferStatus::kDone; }
  static TransferResult Done(DWORD length) { return {TransferStatus::kDone, length, 0}; }
  static TransferResult Stall();
  static TransferResult Error(DWORD error) { return {TransferStatus::kError, 0, error}; }
};

// Faults the player injects into the requests it answers, in this order: `fail_next`
// requests fail with `fail_error`; then `short_next` answered requests move at most
// `short_length` bytes. Each injected fault uses up one count. `delay_ms` holds each request
// back that long (a slow device).
struct FaultSettings {
  DWORD fail_next = 0;
  DWORD fail_error = ERROR_GEN_FAILURE;  // what a device error looks like to a caller
  DWORD short_next = 0;
  DWORD short_length = 0;
  DWORD delay_ms = 0;

  bool operator==(const FaultSettings&) const = default;
};

class UsbPlayer;

// One vendor request's handler: fills (device to host) or reads (host to device) `data`,
// which is the data stage, sized as the setup packet's wLength.
using VendorHandler =
    std::function<TransferResult(UsbPlayer& player, const SetupPacket& setup, std::span<BYTE> data)>;

// The player's firmware: a table of vendor requests by request code (bits 4 to 0 of bRequest).
// Codes without a handler stall.
class TESK_SIM_API Firmware {
 public:
  Firmware();  // connect and disconnect
  void Set(BYTE code, VendorHandler handler);
  void Remove(BYTE code);
  bool Has(BYTE code) const;
  TransferResult Handle(UsbPlayer& player, const SetupPacket& setup, std::span<BYTE> data) const;

 private:
  std::map<BYTE, VendorHandler> handlers_;
};

// Writes `value` as a little-endian 32-bit word into the start of `data`, as far as it fits;
// the count of bytes written.
TESK_SIM_API DWORD PutAnswerWord(std::span<BYTE> data, DWORD value, size_t offset = 0);

class TESK_SIM_API UsbPlayer {
 public:
  explicit UsbPlayer(std::string serial_number);

  const std::string& serial_number() const { return serial_number_; }
  Firmware& firmware() { return firmware_; }

  std::vector<BYTE> DeviceDescriptor() const;
  // The configuration with its interface and two endpoints (wTotalLength bytes).
  std::vector<BYTE> ConfigurationDescriptor() const;
  // Index 0 is the language list (language ignored); other indexes answer only in a language
  // of the list.
  std::optional<std::vector<BYTE>> StringDescriptor(BYTE index, WORD language) const;
  // Any descriptor a GET_DESCRIPTOR request may name; nothing for one the player lacks.
  std::optional<std::vector<BYTE>> Descriptor(BYTE type, BYTE index, WORD language) const;

  // A control transfer on the default pipe, without faults. `data` is the data stage; its
  // size is the setup packet's wLength.
  TransferResult Control(const SetupPacket& setup, std::span<BYTE> data);
  // A descriptor read as GET_DESCRIPTOR into `data`, without faults.
  TransferResult GetDescriptor(BYTE type, BYTE index, WORD language, std::span<BYTE> data);

  // The same two with the faults of `faults` applied; the counts it uses up are taken off.
  TransferResult Control(const SetupPacket& setup, std::span<BYTE> data, FaultSettings& faults);
  TransferResult GetDescriptor(BYTE type, BYTE index, WORD language, std::span<BYTE> data,
                               FaultSettings& faults);

  BYTE configuration() const { return configuration_; }

 private:
  TransferResult Standard(const SetupPacket& setup, std::span<BYTE> data);
  template <typename Request>
  TransferResult WithFaults(FaultSettings& faults, std::span<BYTE> data, Request&& request);

  std::string serial_number_;
  Firmware firmware_;
  BYTE configuration_ = 1;  // the host configured it when it was attached
  bool in_halted_ = false;
  bool out_halted_ = false;
};

// A string descriptor for ASCII text: bLength, type 3, then UTF-16LE.
TESK_SIM_API std::vector<BYTE> MakeStringDescriptor(const std::string& text);

// Whether `text` can be a player's serial number: 1 to 126 printable ASCII characters (a
// string descriptor holds at most 126). A real Gannet gives 16 hexadecimal digits.
TESK_SIM_API bool IsValidSerialNumber(const std::string& text);

}  // namespace tesk::sim
