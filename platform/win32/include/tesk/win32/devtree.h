// The device tree: what fills it, and how a USB function behind a device node is reached.
//
// The tree is kept in the registry as Windows keeps it, so every process of the prefix sees
// the same devices:
//   HKLM\System\CurrentControlSet\Enum\<enumerator>\<device id>\<instance>   a node; values
//       "Parent" (the parent's instance id), "Present" (1 while attached), "FriendlyName",
//       "DeviceDesc", "HardwareID"; subkey "Device Parameters" (the node's hardware key).
//   HKLM\System\CurrentControlSet\Control\DeviceClasses\{class}\##?#<instance, '\' as '#'>#{class}
//       an interface; value "DeviceInstance"; subkey "#" with "SymbolicLink" and "#\Control"
//       with "Linked" (1 while the interface is enabled).
// A removed node stays as a phantom ("Present" 0) with its interfaces unlinked, as on Windows.
// The root of the tree is HTREE\ROOT\0.
//
// SetupAPI and the configuration manager read the tree; the simulated player and the scan of
// Linux's own USB devices fill it through the calls below. Every call that announces an
// interface (arrival or removal) does so after the registry holds the change, to every window
// of every process of the prefix registered for the class.
//
// Errors are Win32 codes; `error`, when given, receives a sentence naming what failed.
#pragma once

#include <string>
#include <vector>

#include <tesk/win32/types.h>
#include <tesk/win32/winerror.h>

namespace tesk::win32 {

// The class of the players' USB access driver's interfaces.
inline constexpr GUID GUID_CLASS_HOXA_DEVICE = GuidFromText("BB60E4CB-4C49-11D4-8E10-005004AD18A6");
// Volumes (one interface on every volume node).
inline constexpr GUID GUID_DEVINTERFACE_VOLUME = GuidFromText("53F5630D-B6BF-11D0-94F2-00A0C91EFB8B");
// Disks.
inline constexpr GUID GUID_DEVINTERFACE_DISK = GuidFromText("53F56307-B6BF-11D0-94F2-00A0C91EFB8B");

inline constexpr char kRootInstanceId[] = "HTREE\\ROOT\\0";

// The backend module name that sends a USB function's requests to a real device through
// Linux's usbfs; the argument is then the device's node, e.g. "/dev/bus/usb/001/004".
inline constexpr char kUsbfsBackend[] = "usbfs";

// How CreateFileA reaches the USB function of a node that carries an access interface.
struct UsbAccess {
  // kUsbfsBackend, or the path of a module loaded with LoadLibraryA that exports
  // TeskUsbFunctionOpen (see below). Empty: the node cannot be opened.
  std::string backend;
  // Handed to the backend's open entry; says which device (a player's name, a usbfs node).
  std::string argument;
};

struct DeviceNodeInfo {
  // "<enumerator>\<device id>\<instance>", e.g. "USB\VID_7A3D&PID_0001\G0001": printable
  // ASCII, no '#' or '/', at most 200 characters. Compared without regard to case.
  std::string instance_id;
  // Empty for a child of the root.
  std::string parent_id;
  std::string friendly_name;
  std::string description;
  std::vector<std::string> hardware_ids;
  UsbAccess usb_access;
};

// Adds a present node below a present parent (ERROR_NO_SUCH_DEVINST when the parent is not
// there). A phantom of the same id comes back to life with the new values;
// ERROR_ALREADY_EXISTS when the node is present already. Announces nothing: nodes have no
// notices, their interfaces do.
TESK_WIN32_API DWORD AddDeviceNode(const DeviceNodeInfo& node, std::string* error = nullptr);

// The device path Windows gives an interface of `interface_class` on a node:
// "\\?\" + the instance id with '\' as '#' + "#{class}", all in lower case.
TESK_WIN32_API std::string DeviceInterfacePath(const std::string& instance_id, REFGUID interface_class);

// Enables an interface of `interface_class` on a present node and announces its arrival.
// ERROR_ALREADY_EXISTS when it is enabled already (nothing is announced again).
TESK_WIN32_API DWORD AddDeviceInterface(const std::string& instance_id, REFGUID interface_class,
                                        std::string* device_path = nullptr, std::string* error = nullptr);

// Disables an interface and announces its removal. ERROR_NOT_FOUND when it is not enabled.
TESK_WIN32_API DWORD RemoveDeviceInterface(const std::string& instance_id, REFGUID interface_class,
                                           std::string* error = nullptr);

struct VolumeNodeInfo {
  std::string instance_id;  // e.g. "STORAGE\Volume\G0001&0"
  std::string parent_id;    // the disk node
  std::string friendly_name;
  // The Linux folder holding the volume's files (its mount point). Empty: not mounted, so no
  // drive letter.
  std::string folder;
  // 'E'...'Z' (either case) to ask for that letter, or 0 for the first free one from E.
  char drive_letter = 0;
  // All zero: the GUID the volume had when last attached, or a new one.
  GUID volume_guid{};
};

struct VolumeInfo {
  std::string volume_name;  // "\\?\Volume{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}\"
  std::string device_path;  // of its GUID_DEVINTERFACE_VOLUME interface
  char drive_letter = 0;    // upper case; 0 when it has none (no folder, or every letter taken)
};

// Adds a volume node with its GUID_DEVINTERFACE_VOLUME interface (announced) and maps its
// drive letter: dosdevices/<letter>: in the prefix becomes a link to the folder, and the
// volume node's hardware key gets "CurrentDriveLetterAssignment" (the Windows 98/Me record).
// A letter asked for and taken already: ERROR_ALREADY_EXISTS, nothing added.
TESK_WIN32_API DWORD AddVolume(const VolumeNodeInfo& volume, VolumeInfo* info = nullptr,
                               std::string* error = nullptr);

// Removes a node and everything below it: every enabled interface of the subtree is disabled
// and its removal announced (deepest nodes first), the drive letters of its volumes are
// unmapped, and the nodes become phantoms. ERROR_NO_SUCH_DEVINST when the node is not present.
TESK_WIN32_API DWORD RemoveDevice(const std::string& instance_id, std::string* error = nullptr);

TESK_WIN32_API bool DeviceIsPresent(const std::string& instance_id);

// Real players on Linux. The vendor and product pairs to look for are the subkeys of
// HKLM\Software\Vorelle\Tesk\UsbDevices, named "VID_xxxx&PID_yyyy" (hexadecimal); the key's
// value "FirstDriveLetter" (REG_SZ) moves the first letter given out from E. The scan reads
// sysfs ($TESK_SYSFS_ROOT, default /sys) and the mount table ($TESK_MOUNTINFO, default
// /proc/self/mountinfo), brings the players it finds into the tree (device, access node with
// a GUID_CLASS_HOXA_DEVICE interface reached through usbfs, disk, volumes with letters) and
// removes those it added that are gone. SetupDiGetClassDevsA runs it; so may anyone.
inline constexpr char kUsbDevicesKey[] = "Software\\Vorelle\\Tesk\\UsbDevices";
TESK_WIN32_API DWORD ScanUsbDevices(std::string* error = nullptr);

}  // namespace tesk::win32

// ---- USB function backends ------------------------------------------------------------
//
// A backend answers the requests that the access driver's two I/O controls carry, for one
// opened device. The usbfs backend is built in; any other is a module that exports
//
//   DWORD TeskUsbFunctionOpen(const char* instance_id, const char* argument,
//                             TeskUsbFunction** function);
//
// called by CreateFileA in whichever process opens the device path, with the node's instance
// id and its UsbAccess::argument. It returns ERROR_SUCCESS and an object whose first member
// points at the backend's table, or a Win32 code (ERROR_DEVICE_NOT_CONNECTED when the device
// is gone) and no object.
//
// The operations, in the manner of a table of operations of a USB stack:
//   GetDescriptor(function, type, index, language, buffer, length, transferred)
//       Reads descriptor `type`/`index` (`language` for strings) as the device returns it to a
//       GET_DESCRIPTOR request of wLength `length`: at most `length` bytes into `buffer`,
//       their count into *transferred. May block for the duration of the transfer.
//   ControlTransfer(function, setup, flags, data, transferred)
//       Performs a control transfer; setup->wLength bytes of `data` are the data stage, read
//       from the device when bit 7 of setup->bmRequestType is set, written to it otherwise.
//       *transferred receives the count moved. `flags` is the caller's 32-bit request type as
//       it reached the driver (its low 8 bits are bmRequestType). May block.
//   Close(function)
//       Releases the object; called once, when the last handle to the device is closed.
// The stand-in calls the operations of one object one at a time (never concurrently); objects
// of different handles may be used on different threads at once. No lock of the stand-in is
// held during a call. Failures are Win32 codes: ERROR_GEN_FAILURE (the device stalled the
// request), ERROR_SEM_TIMEOUT, ERROR_DEVICE_NOT_CONNECTED (gone), ERROR_INVALID_PARAMETER,
// ERROR_NOT_ENOUGH_MEMORY; the caller of DeviceIoControl gets them as its last error.
extern "C" {

struct TeskUsbFunctionOps;

struct TeskUsbFunction {
  const TeskUsbFunctionOps* ops;
};

struct TeskUsbSetupPacket {
  BYTE bmRequestType;
  BYTE bRequest;
  WORD wValue;
  WORD wIndex;
  WORD wLength;
};

struct TeskUsbFunctionOps {
  DWORD(*GetDescriptor)
  (TeskUsbFunction* function, BYTE type, BYTE index, WORD language, BYTE* buffer, DWORD length,
   DWORD* transferred);
  DWORD(*ControlTransfer)
  (TeskUsbFunction* function, const TeskUsbSetupPacket* setup, DWORD flags, BYTE* data, DWORD* transferred);
  void (*Close)(TeskUsbFunction* function);
};

using TeskUsbFunctionOpenProc = DWORD (*)(const char* instance_id, const char* argument,
                                          TeskUsbFunction** function);
}

#define TESK_USB_FUNCTION_OPEN_ENTRY "TeskUsbFunctionOpen"
