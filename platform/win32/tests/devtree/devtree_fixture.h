// Players for the device tree's tests, laid out as the simulator lays them out: a composite
// USB device with an access node (GUID_CLASS_HOXA_DEVICE, served by the test backend) and a
// disk holding one volume whose folder is in the prefix.
#pragma once

#include <sys/stat.h>

#include <string>

#include <tesk/win32/devtree.h>

namespace devtree_test {

struct Player {
  std::string serial;
  std::string device, access, disk, volume;  // instance ids
  std::string folder;
  std::string access_path;
  tesk::win32::VolumeInfo volume_info;
};

inline Player PlayerIds(const std::string& serial) {
  Player p;
  p.serial = serial;
  p.device = "USB\\VID_7A3D&PID_0001\\" + serial;
  p.access = "USB\\VID_7A3D&PID_0001&MI_00\\" + serial;
  p.disk = "USBSTOR\\Disk&Ven_Vorelle&Prod_Gannet&Rev_1.00\\" + serial + "&0";
  p.volume = "STORAGE\\Volume\\" + serial + "&0";
  return p;
}

// Adds the player; ERROR_SUCCESS or the first failure, its text in *error.
inline DWORD AddPlayer(const std::string& prefix, const std::string& backend, const std::string& serial,
                       Player* p, std::string* error, char letter = 0) {
  using namespace tesk::win32;
  *p = PlayerIds(serial);
  p->folder = prefix + "/player-" + serial;
  mkdir(p->folder.c_str(), 0755);
  DeviceNodeInfo device;
  device.instance_id = p->device;
  device.friendly_name = "Gannet " + serial;
  device.hardware_ids = {"USB\\VID_7A3D&PID_0001&REV_0100", "USB\\VID_7A3D&PID_0001"};
  DWORD rc = AddDeviceNode(device, error);
  DeviceNodeInfo disk;
  disk.instance_id = p->disk;
  disk.parent_id = p->device;
  if (rc == ERROR_SUCCESS) rc = AddDeviceNode(disk, error);
  VolumeNodeInfo volume;
  volume.instance_id = p->volume;
  volume.parent_id = p->disk;
  volume.folder = p->folder;
  volume.drive_letter = letter;
  if (rc == ERROR_SUCCESS) rc = AddVolume(volume, &p->volume_info, error);
  DeviceNodeInfo access;
  access.instance_id = p->access;
  access.parent_id = p->device;
  access.usb_access = {backend, serial};
  if (rc == ERROR_SUCCESS) rc = AddDeviceNode(access, error);
  if (rc == ERROR_SUCCESS) rc = AddDeviceInterface(p->access, GUID_CLASS_HOXA_DEVICE, &p->access_path, error);
  return rc;
}

}  // namespace devtree_test
