// The player's descriptors and default pipe.

#include <tesk/sim_usb.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include <tesk/win32/winbase.h>

namespace tesk::sim {
namespace {

constexpr BYTE kMaxPacketSize0 = 64;
constexpr BYTE kConfigurationValue = 1;
constexpr WORD kFullSpeedPacketSize = 64;

void PutWord(std::vector<BYTE>& out, WORD value) {
  out.push_back(static_cast<BYTE>(value & 0xFF));
  out.push_back(static_cast<BYTE>(value >> 8));
}

// Configuration, interface and endpoints; `type` 2 for the speed the player runs at (high
// speed), 7 for the other one (full speed, 64-byte bulk packets).
std::vector<BYTE> Configuration(BYTE type, WORD bulk_packet_size) {
  std::vector<BYTE> out = {9,    type, 0, 0, 1, kConfigurationValue, 0,
                           0x80,  // bus powered, no remote wake-up
                           250};  // 500 mA: it charges from the port
  // One vendor-specific interface with its two bulk pipes, IN first.
  out.insert(out.end(), {9, 4, 0, 0, 2, 0xFF, 0xFF, 0xFF, 0});
  for (BYTE endpoint : {kBulkInEndpoint, kBulkOutEndpoint}) {
    out.insert(out.end(), {7, 5, endpoint, 0x02});
    PutWord(out, bulk_packet_size);
    out.push_back(0);
  }
  out[2] = static_cast<BYTE>(out.size());
  out[3] = static_cast<BYTE>(out.size() >> 8);
  return out;
}

TransferResult CopyAnswer(const std::vector<BYTE>& answer, std::span<BYTE> data) {
  const size_t length = std::min(answer.size(), data.size());
  if (length > 0) std::memcpy(data.data(), answer.data(), length);
  return TransferResult::Done(static_cast<DWORD>(length));
}

// Connect and disconnect answer one word, 1 for "done"; the host does not look at it.
TransferResult AnswerOne(UsbPlayer&, const SetupPacket& setup, std::span<BYTE> data) {
  if (!setup.DeviceToHost()) return TransferResult::Stall();
  return TransferResult::Done(PutAnswerWord(data, 1));
}

}  // namespace

TransferResult TransferResult::Stall() {
  return {TransferStatus::kStall, 0, ERROR_GEN_FAILURE};
}

DWORD PutAnswerWord(std::span<BYTE> data, DWORD value, size_t offset) {
  DWORD written = 0;
  for (size_t i = 0; i < 4 && offset + i < data.size(); ++i, ++written) {
    data[offset + i] = static_cast<BYTE>(value >> (8 * i));
  }
  return written;
}

std::vector<BYTE> MakeStringDescriptor(const std::string& text) {
  std::vector<BYTE> out = {static_cast<BYTE>(2 + 2 * text.size()), kStringDescriptorType};
  for (char c : text) PutWord(out, static_cast<BYTE>(c));
  return out;
}

bool IsValidSerialNumber(const std::string& text) {
  if (text.empty() || text.size() > 126) return false;
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7E; });
}

Firmware::Firmware() {
  Set(kVendorConnect, AnswerOne);
  Set(kVendorDisconnect, AnswerOne);
}

void Firmware::Set(BYTE code, VendorHandler handler) {
  handlers_[code & kVendorCodeMask] = std::move(handler);
}

void Firmware::Remove(BYTE code) {
  handlers_.erase(code & kVendorCodeMask);
}

bool Firmware::Has(BYTE code) const {
  return handlers_.count(code & kVendorCodeMask) != 0;
}

TransferResult Firmware::Handle(UsbPlayer& player, const SetupPacket& setup, std::span<BYTE> data) const {
  const auto handler = handlers_.find(setup.request & kVendorCodeMask);
  if (handler == handlers_.end()) return TransferResult::Stall();
  return handler->second(player, setup, data);
}

UsbPlayer::UsbPlayer(std::string serial_number) : serial_number_(std::move(serial_number)) {}

std::vector<BYTE> UsbPlayer::DeviceDescriptor() const {
  std::vector<BYTE> out = {18, kDeviceDescriptorType};
  PutWord(out, 0x0200);              // bcdUSB
  out.insert(out.end(), {0, 0, 0});  // class, subclass, protocol: per interface
  out.push_back(kMaxPacketSize0);
  PutWord(out, kVendorId);
  PutWord(out, kProductId);
  PutWord(out, kDeviceRelease);
  out.insert(out.end(), {kManufacturerIndex, kProductIndex, kSerialNumberIndex, 1});
  return out;
}

std::vector<BYTE> UsbPlayer::ConfigurationDescriptor() const {
  return Configuration(kConfigurationDescriptorType, kBulkPacketSize);
}

std::optional<std::vector<BYTE>> UsbPlayer::StringDescriptor(BYTE index, WORD language) const {
  if (index == 0) return std::vector<BYTE>{4, kStringDescriptorType, 0x09, 0x04};
  if (language != kLanguageEnglishUs) return std::nullopt;
  switch (index) {
    case kManufacturerIndex:
      return MakeStringDescriptor(kManufacturer);
    case kProductIndex:
      return MakeStringDescriptor(kProduct);
    case kSerialNumberIndex:
      return MakeStringDescriptor(serial_number_);
    default:
      return std::nullopt;
  }
}

std::optional<std::vector<BYTE>> UsbPlayer::Descriptor(BYTE type, BYTE index, WORD language) const {
  switch (type) {
    case kDeviceDescriptorType:
      if (index != 0) return std::nullopt;
      return DeviceDescriptor();
    case kConfigurationDescriptorType:
      if (index != 0) return std::nullopt;
      return ConfigurationDescriptor();
    case kStringDescriptorType:
      return StringDescriptor(index, language);
    case kDeviceQualifierDescriptorType: {
      if (index != 0) return std::nullopt;
      std::vector<BYTE> out = {10, kDeviceQualifierDescriptorType, 0x00, 0x02, 0, 0, 0, kMaxPacketSize0, 1,
                               0};
      return out;
    }
    case kOtherSpeedConfigurationDescriptorType:
      if (index != 0) return std::nullopt;
      return Configuration(kOtherSpeedConfigurationDescriptorType, kFullSpeedPacketSize);
    default:
      return std::nullopt;
  }
}

TransferResult UsbPlayer::GetDescriptor(BYTE type, BYTE index, WORD language, std::span<BYTE> data) {
  const auto descriptor = Descriptor(type, index, language);
  if (!descriptor) return TransferResult::Stall();
  return CopyAnswer(*descriptor, data);
}

TransferResult UsbPlayer::Control(const SetupPacket& setup, std::span<BYTE> data) {
  if (data.size() > setup.length) data = data.first(setup.length);
  switch (setup.Type()) {
    case 0:
      return Standard(setup, data);
    case 2:
      if (setup.Recipient() != 0) return TransferResult::Stall();
      return firmware_.Handle(*this, setup, data);
    default:
      return TransferResult::Stall();  // the player has no class requests
  }
}

TransferResult UsbPlayer::Standard(const SetupPacket& setup, std::span<BYTE> data) {
  const BYTE recipient = setup.Recipient();
  const bool in = setup.DeviceToHost();
  // The endpoint a request names, or null for one the player lacks.
  auto halted = [&]() -> bool* {
    const BYTE endpoint = static_cast<BYTE>(setup.index & 0xFF);
    if (endpoint == kBulkInEndpoint) return &in_halted_;
    if (endpoint == kBulkOutEndpoint) return &out_halted_;
    return nullptr;
  };
  switch (setup.request) {
    case kRequestGetDescriptor:
      if (!in || recipient != 0) break;
      return GetDescriptor(static_cast<BYTE>(setup.value >> 8), static_cast<BYTE>(setup.value & 0xFF),
                           setup.index, data);
    case kRequestGetStatus: {
      if (!in) break;
      std::vector<BYTE> status = {0, 0};  // bus powered, no remote wake-up; interface: reserved
      if (recipient == 2) {
        bool* flag = setup.index == 0 ? nullptr : halted();
        if (setup.index != 0 && !flag) break;
        status[0] = flag && *flag ? 1 : 0;
      } else if (recipient == 1 && setup.index != 0) {
        break;
      } else if (recipient > 2) {
        break;
      }
      return CopyAnswer(status, data);
    }
    case kRequestClearFeature:
    case kRequestSetFeature: {
      // Only ENDPOINT_HALT (feature 0) on one of the bulk endpoints.
      if (in || recipient != 2 || setup.value != 0) break;
      bool* flag = halted();
      if (!flag) break;
      *flag = setup.request == kRequestSetFeature;
      return TransferResult::Done(0);
    }
    case kRequestSetAddress:
      if (in || recipient != 0) break;
      return TransferResult::Done(0);
    case kRequestGetConfiguration:
      if (!in || recipient != 0) break;
      return CopyAnswer({configuration_}, data);
    case kRequestSetConfiguration:
      if (in || recipient != 0 || setup.value > kConfigurationValue) break;
      configuration_ = static_cast<BYTE>(setup.value);
      in_halted_ = out_halted_ = false;
      return TransferResult::Done(0);
    case kRequestGetInterface:
      if (!in || recipient != 1 || setup.index != 0 || configuration_ == 0) break;
      return CopyAnswer({0}, data);
    case kRequestSetInterface:
      if (in || recipient != 1 || setup.index != 0 || setup.value != 0 || configuration_ == 0) break;
      in_halted_ = out_halted_ = false;
      return TransferResult::Done(0);
    default:
      break;
  }
  return TransferResult::Stall();
}

template <typename Request>
TransferResult UsbPlayer::WithFaults(FaultSettings& faults, std::span<BYTE> data, Request&& request) {
  if (faults.delay_ms > 0) Sleep(faults.delay_ms);
  if (faults.fail_next > 0) {
    --faults.fail_next;
    return TransferResult::Error(faults.fail_error);
  }
  if (faults.short_next == 0) return request(data);
  // The answer is made aside, so that bytes past the short end never reach the caller.
  std::vector<BYTE> scratch(data.begin(), data.end());
  TransferResult result = request(std::span<BYTE>(scratch));
  if (result.ok()) {
    --faults.short_next;
    result.length = std::min(result.length, faults.short_length);
    std::copy_n(scratch.begin(), result.length, data.begin());
  }
  return result;
}

TransferResult UsbPlayer::Control(const SetupPacket& setup, std::span<BYTE> data, FaultSettings& faults) {
  return WithFaults(faults, data, [&](std::span<BYTE> stage) { return Control(setup, stage); });
}

TransferResult UsbPlayer::GetDescriptor(BYTE type, BYTE index, WORD language, std::span<BYTE> data,
                                        FaultSettings& faults) {
  return WithFaults(faults, data,
                    [&](std::span<BYTE> stage) { return GetDescriptor(type, index, language, stage); });
}

}  // namespace tesk::sim
