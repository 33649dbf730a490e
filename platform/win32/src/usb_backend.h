// Opening the USB function behind a device node: through a backend module (the simulated
// player) or through Linux's usbfs (a real one). Both answer the table in devtree.h.
#pragma once

#include <memory>
#include <string>

#include <tesk/win32/devtree.h>
#include <tesk/win32/types.h>

namespace tesk::win32::internal {

// One opened function and the module that serves it; closes both when it goes. Not thread
// safe: its owner calls it one request at a time.
class UsbFunction {
 public:
  UsbFunction(TeskUsbFunction* function, HMODULE module) : function_(function), module_(module) {}
  ~UsbFunction();
  UsbFunction(const UsbFunction&) = delete;
  UsbFunction& operator=(const UsbFunction&) = delete;

  DWORD GetDescriptor(BYTE type, BYTE index, WORD language, BYTE* buffer, DWORD length, DWORD* transferred);
  DWORD ControlTransfer(const TeskUsbSetupPacket& setup, DWORD flags, BYTE* data, DWORD* transferred);

 private:
  TeskUsbFunction* function_;
  HMODULE module_;  // null for the built-in usbfs backend
};

// `backend` is kUsbfsBackend or a module path. Win32 codes: ERROR_MOD_NOT_FOUND,
// ERROR_PROC_NOT_FOUND (no open entry), or what the backend's open answered.
DWORD OpenUsbFunction(const std::string& instance_id, const std::string& backend, const std::string& argument,
                      std::unique_ptr<UsbFunction>* out);

// The usbfs backend: `device_node` is e.g. /dev/bus/usb/001/004.
DWORD OpenUsbfsFunction(const std::string& device_node, TeskUsbFunction** out);

}  // namespace tesk::win32::internal
