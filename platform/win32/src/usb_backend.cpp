// Loading a USB function backend and calling its table.
#include "usb_backend.h"

#include <algorithm>
#include <new>

#include <tesk/win32/winbase.h>

namespace tesk::win32::internal {
namespace {

DWORD Adopt(TeskUsbFunction* function, HMODULE module, std::unique_ptr<UsbFunction>* out) {
  try {
    *out = std::make_unique<UsbFunction>(function, module);
    return ERROR_SUCCESS;
  } catch (const std::bad_alloc&) {
    function->ops->Close(function);
    if (module) FreeLibrary(module);
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

}  // namespace

UsbFunction::~UsbFunction() {
  if (function_ && function_->ops && function_->ops->Close) function_->ops->Close(function_);
  if (module_) FreeLibrary(module_);
}

DWORD UsbFunction::GetDescriptor(BYTE type, BYTE index, WORD language, BYTE* buffer, DWORD length,
                                 DWORD* transferred) {
  *transferred = 0;
  if (!function_->ops->GetDescriptor) return ERROR_INVALID_FUNCTION;
  DWORD count = 0;
  const DWORD rc = function_->ops->GetDescriptor(function_, type, index, language, buffer, length, &count);
  // A backend never reports more than the buffer held.
  if (rc == ERROR_SUCCESS) *transferred = std::min(count, length);
  return rc;
}

DWORD UsbFunction::ControlTransfer(const TeskUsbSetupPacket& setup, DWORD flags, BYTE* data,
                                   DWORD* transferred) {
  *transferred = 0;
  if (!function_->ops->ControlTransfer) return ERROR_INVALID_FUNCTION;
  DWORD count = 0;
  const DWORD rc = function_->ops->ControlTransfer(function_, &setup, flags, data, &count);
  if (rc == ERROR_SUCCESS) *transferred = std::min<DWORD>(count, setup.wLength);
  return rc;
}

DWORD OpenUsbFunction(const std::string& instance_id, const std::string& backend, const std::string& argument,
                      std::unique_ptr<UsbFunction>* out) {
  TeskUsbFunction* function = nullptr;
  if (backend == kUsbfsBackend) {
    if (const DWORD rc = OpenUsbfsFunction(argument, &function); rc != ERROR_SUCCESS) return rc;
    return Adopt(function, nullptr, out);
  }
  const HMODULE module = LoadLibraryA(backend.c_str());
  if (!module) return GetLastError();
  const auto open = GetProcAddressAs<TeskUsbFunctionOpenProc>(module, TESK_USB_FUNCTION_OPEN_ENTRY);
  if (!open) {
    FreeLibrary(module);
    return ERROR_PROC_NOT_FOUND;
  }
  DWORD rc = open(instance_id.c_str(), argument.c_str(), &function);
  if (rc == ERROR_SUCCESS && (!function || !function->ops)) rc = ERROR_GEN_FAILURE;
  if (rc != ERROR_SUCCESS) {
    FreeLibrary(module);
    return rc;
  }
  return Adopt(function, module, out);
}

}  // namespace tesk::win32::internal
