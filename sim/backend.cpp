// The USB function backend: the device tree loads this module in whatever process opens a
// player's device path, and the player is rebuilt there from its record in the registry.
// Faults are read before each request and the counts it uses up written back, so every
// process sees one fault plan per player.

#include <memory>
#include <new>
#include <span>
#include <string>

#include <tesk/sim.h>
#include <tesk/win32/devtree.h>
#include <tesk/win32/windows.h>

#include "player_store.h"

namespace {

using tesk::sim::FaultSettings;
using tesk::sim::TransferResult;
using tesk::sim::TransferStatus;

struct PlayerSession {
  std::string name;
  tesk::sim::UsbPlayer player;
};

// The device tree holds the object by its first member.
struct SimFunction {
  TeskUsbFunction header;
  PlayerSession* session;
};

PlayerSession* SessionOf(TeskUsbFunction* function) {
  return reinterpret_cast<SimFunction*>(function)->session;
}

// Runs one request under the player's current faults.
template <typename Request>
DWORD Run(TeskUsbFunction* function, DWORD* transferred, Request&& request) {
  if (transferred) *transferred = 0;
  try {
    PlayerSession* session = SessionOf(function);
    FaultSettings faults;
    // A player detached while open answers nothing more.
    if (tesk::sim::internal::ReadFaults(session->name, &faults) != ERROR_SUCCESS) {
      return ERROR_DEVICE_NOT_CONNECTED;
    }
    const FaultSettings before = faults;
    const TransferResult result = request(session->player, faults);
    if (!(faults == before)) tesk::sim::internal::WriteFaults(session->name, faults);
    if (result.status != TransferStatus::kDone) return result.error;
    if (transferred) *transferred = result.length;
    return ERROR_SUCCESS;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

DWORD GetDescriptor(TeskUsbFunction* function, BYTE type, BYTE index, WORD language, BYTE* buffer,
                    DWORD length, DWORD* transferred) {
  if (!buffer && length > 0) return ERROR_INVALID_PARAMETER;
  return Run(function, transferred, [&](tesk::sim::UsbPlayer& player, FaultSettings& faults) {
    return player.GetDescriptor(type, index, language, std::span<BYTE>(buffer, length), faults);
  });
}

DWORD ControlTransfer(TeskUsbFunction* function, const TeskUsbSetupPacket* setup, DWORD /*flags*/, BYTE* data,
                      DWORD* transferred) {
  if (!setup || (!data && setup->wLength > 0)) return ERROR_INVALID_PARAMETER;
  const tesk::sim::SetupPacket packet{setup->bmRequestType, setup->bRequest, setup->wValue, setup->wIndex,
                                      setup->wLength};
  return Run(function, transferred, [&](tesk::sim::UsbPlayer& player, FaultSettings& faults) {
    return player.Control(packet, std::span<BYTE>(data, setup->wLength), faults);
  });
}

void Close(TeskUsbFunction* function) {
  auto* sim_function = reinterpret_cast<SimFunction*>(function);
  delete sim_function->session;
  delete sim_function;
}

constexpr TeskUsbFunctionOps kOps = {GetDescriptor, ControlTransfer, Close};

}  // namespace

extern "C" TESK_EXPORT DWORD TeskUsbFunctionOpen(const char* /*instance_id*/, const char* argument,
                                                 TeskUsbFunction** function) {
  if (!function) return ERROR_INVALID_PARAMETER;
  *function = nullptr;
  if (!argument) return ERROR_INVALID_PARAMETER;
  try {
    tesk::sim::PlayerInfo info;
    FaultSettings faults;
    if (!tesk::sim::internal::ReadPlayer(argument, &info) ||
        tesk::sim::internal::ReadFaults(argument, &faults) != ERROR_SUCCESS) {
      return ERROR_DEVICE_NOT_CONNECTED;
    }
    auto session =
        std::make_unique<PlayerSession>(PlayerSession{argument, tesk::sim::UsbPlayer(info.serial_number)});
    auto* sim_function = new SimFunction{{&kOps}, nullptr};
    sim_function->session = session.release();
    *function = &sim_function->header;
    return ERROR_SUCCESS;
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}
