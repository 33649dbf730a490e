// Real players on Linux: the USB devices in sysfs whose vendor and product the registry lists,
// with their block devices and where those are mounted, brought into the device tree.
//
// A player found becomes, as on Windows with a composite device:
//   USB\VID_v&PID_p\<serial>                     the device (its hardware key keeps the state it
//                                                was found in, ScanSignature, which marks it ours)
//     USB\VID_v&PID_p&MI_00\<serial>             the access node: GUID_CLASS_HOXA_DEVICE,
//                                                opened through usbfs
//     USBSTOR\Disk&Ven_..&Prod_..&Rev_..\<serial>&<n>   each block device (GUID_DEVINTERFACE_DISK)
//       STORAGE\Volume\<serial>&<block>         each partition (or the disk itself when it has
//                                                none), with its mount point's drive letter
// A player whose state changed (mounted, unmounted, re-plugged) is removed and added again; one
// that is gone, or no longer listed, is removed. The scan runs under a lock file, so that two
// processes never scan at once.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <vector>

#include <tesk/win32/devtree.h>
#include <tesk/win32/winreg.h>

#include "devtree_internal.h"
#include "devtree_store.h"
#include "registry_store.h"

namespace tesk::win32 {
namespace {

struct Partition {
  std::string name;  // sdb1
  std::string dev;   // 8:17
};

struct BlockDevice {
  std::string name;  // sdb
  std::string dev;
  std::string vendor, model, revision;
  std::vector<Partition> partitions;
};

struct UsbDevice {
  std::string sysfs_path;  // real path of its sysfs folder
  unsigned vendor_id = 0, product_id = 0;
  std::string serial, manufacturer, product, sysname;
  int busnum = 0, devnum = 0;
  std::vector<BlockDevice> blocks;
};

std::string Setting(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value && *value ? value : fallback;
}

std::string ReadLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\n' || line.back() == ' ' || line.back() == '\r')) line.pop_back();
  return line;
}

std::string RealPath(const std::string& path) {
  std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
  return real ? std::string(real.get()) : std::string();
}

std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return names;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

// A part of an instance id: printable ASCII, no separators, not too long.
std::string IdPart(const std::string& text, std::size_t max_length) {
  std::string out;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    out.push_back(b <= 0x20 || b >= 0x7F || c == '\\' || c == '/' || c == '#' || c == ',' ? '_' : c);
    if (out.size() == max_length) break;
  }
  while (!out.empty() && out.back() == '_') out.pop_back();
  return out;
}

struct Listing {
  std::set<std::pair<unsigned, unsigned>> pairs;
  char first_letter = 'E';
};

// "VID_7A3D&PID_0001", either case.
bool ParsePair(const std::string& name, std::pair<unsigned, unsigned>* pair) {
  unsigned vid = 0, pid = 0;
  char tail = 0;
  std::string upper = name;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (std::sscanf(upper.c_str(), "VID_%4x&PID_%4x%c", &vid, &pid, &tail) != 2) return false;
  *pair = {vid, pid};
  return true;
}

// The listing and the tree, in one registry transaction.
LONG ReadState(Listing* listing, devtree::Tree* tree) {
  return registry::Transact(registry::Mode::kRead, [&](registry::Txn& txn) -> LONG {
    devtree::LoadTree(txn, tree);
    std::int64_t key = 0;
    if (!devtree::WalkNames(txn, devtree::LocalMachine(txn), {"Software", "Vorelle", "Tesk", "UsbDevices"},
                            false, &key))
      return ERROR_SUCCESS;
    std::vector<std::string> names;
    txn.ChildNames(key, &names);
    for (const std::string& name : names) {
      std::pair<unsigned, unsigned> pair;
      if (ParsePair(name, &pair)) listing->pairs.insert(pair);
    }
    const std::string letter = devtree::ReadString(txn, key, "FirstDriveLetter");
    const char c =
        letter.empty() ? 0 : static_cast<char>(std::toupper(static_cast<unsigned char>(letter[0])));
    if (c >= 'A' && c <= 'Z') listing->first_letter = c;
    return ERROR_SUCCESS;
  });
}

std::vector<UsbDevice> FindDevices(const Listing& listing) {
  const std::string root = Setting("TESK_SYSFS_ROOT", "/sys");
  std::vector<UsbDevice> found;
  const std::string usb = root + "/bus/usb/devices";
  for (const std::string& name : Entries(usb)) {
    if (name.find(':') != std::string::npos) continue;  // an interface, not a device
    const std::string folder = usb + "/" + name;
    UsbDevice device;
    device.vendor_id =
        static_cast<unsigned>(std::strtoul(ReadLine(folder + "/idVendor").c_str(), nullptr, 16));
    device.product_id =
        static_cast<unsigned>(std::strtoul(ReadLine(folder + "/idProduct").c_str(), nullptr, 16));
    if (!listing.pairs.count({device.vendor_id, device.product_id})) continue;
    device.sysfs_path = RealPath(folder);
    if (device.sysfs_path.empty()) continue;
    device.sysname = name;
    device.serial = ReadLine(folder + "/serial");
    device.manufacturer = ReadLine(folder + "/manufacturer");
    device.product = ReadLine(folder + "/product");
    device.busnum = std::atoi(ReadLine(folder + "/busnum").c_str());
    device.devnum = std::atoi(ReadLine(folder + "/devnum").c_str());
    found.push_back(std::move(device));
  }
  if (found.empty()) return found;

  const std::string block = root + "/block";
  for (const std::string& name : Entries(block)) {
    const std::string folder = block + "/" + name;
    const std::string device_link = RealPath(folder + "/device");
    for (UsbDevice& device : found) {
      if (device_link.rfind(device.sysfs_path + "/", 0) != 0) continue;
      BlockDevice disk;
      disk.name = name;
      disk.dev = ReadLine(folder + "/dev");
      disk.vendor = ReadLine(folder + "/device/vendor");
      disk.model = ReadLine(folder + "/device/model");
      disk.revision = ReadLine(folder + "/device/rev");
      for (const std::string& part : Entries(folder)) {
        if (Exists(folder + "/" + part + "/partition"))
          disk.partitions.push_back({part, ReadLine(folder + "/" + part + "/dev")});
      }
      device.blocks.push_back(std::move(disk));
      break;
    }
  }
  return found;
}

// mountinfo escapes blanks and backslashes as three octal digits.
std::string Unescape(const std::string& field) {
  std::string out;
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const std::string digits = field.substr(i + 1, 3);
      if (std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '7'; })) {
        out.push_back(static_cast<char>(std::strtol(digits.c_str(), nullptr, 8)));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

// Device number ("8:17") to the first place it is mounted whole.
std::map<std::string, std::string> ReadMounts() {
  std::map<std::string, std::string> mounts;
  std::ifstream in(Setting("TESK_MOUNTINFO", "/proc/self/mountinfo"));
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (start < line.size()) {
      const std::size_t space = line.find(' ', start);
      fields.push_back(line.substr(start, space == std::string::npos ? std::string::npos : space - start));
      if (space == std::string::npos) break;
      start = space + 1;
    }
    // id, parent id, major:minor, root within the file system, mount point, ...
    if (fields.size() < 5 || fields[3] != "/") continue;
    mounts.emplace(fields[2], Unescape(fields[4]));
  }
  return mounts;
}

struct Plan {
  std::string device_id, access_id;
  DeviceNodeInfo device, access;
  std::vector<DeviceNodeInfo> disks;
  std::vector<VolumeNodeInfo> volumes;
  std::string signature;
};

std::string Hex4(unsigned v) {
  char text[8];
  std::snprintf(text, sizeof(text), "%04X", v & 0xFFFF);
  return text;
}

Plan MakePlan(const UsbDevice& usb, const std::map<std::string, std::string>& mounts) {
  Plan plan;
  const std::string ids = "VID_" + Hex4(usb.vendor_id) + "&PID_" + Hex4(usb.product_id);
  std::string serial = IdPart(usb.serial, 64);
  if (serial.empty()) serial = IdPart(usb.sysname, 64);
  plan.device_id = "USB\\" + ids + "\\" + serial;
  plan.access_id = "USB\\" + ids + "&MI_00\\" + serial;

  plan.device.instance_id = plan.device_id;
  plan.device.friendly_name = usb.product;
  plan.device.description = "USB Composite Device";
  plan.device.hardware_ids = {"USB\\" + ids};
  plan.access.instance_id = plan.access_id;
  plan.access.parent_id = plan.device_id;
  plan.access.friendly_name = usb.product;
  plan.access.hardware_ids = {"USB\\" + ids + "&MI_00"};
  char node[64];
  std::snprintf(node, sizeof(node), "/%03d/%03d", usb.busnum, usb.devnum);
  plan.access.usb_access = {kUsbfsBackend, Setting("TESK_USBFS_ROOT", "/dev/bus/usb") + node};

  plan.signature =
      plan.device_id + "|" + usb.product + "|" + usb.manufacturer + "|" + plan.access.usb_access.argument;
  for (std::size_t n = 0; n < usb.blocks.size(); ++n) {
    const BlockDevice& block = usb.blocks[n];
    const std::string vendor = IdPart(block.vendor.empty() ? usb.manufacturer : block.vendor, 8);
    const std::string model = IdPart(block.model.empty() ? usb.product : block.model, 16);
    DeviceNodeInfo disk;
    disk.instance_id = "USBSTOR\\Disk&Ven_" + vendor + "&Prod_" + model + "&Rev_" +
                       IdPart(block.revision, 4) + "\\" + serial + "&" + std::to_string(n);
    disk.parent_id = plan.device_id;
    disk.friendly_name = (block.vendor.empty() ? usb.manufacturer : block.vendor) + " " +
                         (block.model.empty() ? usb.product : block.model) + " USB Device";
    disk.description = "Disk drive";
    disk.hardware_ids = {"USBSTOR\\Disk" + vendor + model};
    plan.signature += "|" + block.name + "=" + block.dev;

    std::vector<Partition> parts = block.partitions;
    if (parts.empty()) parts.push_back({block.name, block.dev});
    for (const Partition& part : parts) {
      VolumeNodeInfo volume;
      volume.instance_id = "STORAGE\\Volume\\" + serial + "&" + IdPart(part.name, 32);
      volume.parent_id = disk.instance_id;
      volume.friendly_name = part.name;
      const auto mount = mounts.find(part.dev);
      if (mount != mounts.end()) volume.folder = mount->second;
      plan.signature += "|" + part.name + "=" + part.dev + "@" + volume.folder;
      plan.volumes.push_back(std::move(volume));
    }
    plan.disks.push_back(std::move(disk));
  }
  return plan;
}

DWORD AddPlayer(const Plan& plan, char first_letter, std::string* error) {
  DWORD rc = devtree::AddNode(plan.device, plan.signature, error);
  if (rc == ERROR_SUCCESS) rc = AddDeviceNode(plan.access, error);
  for (std::size_t i = 0; rc == ERROR_SUCCESS && i < plan.disks.size(); ++i) {
    rc = AddDeviceNode(plan.disks[i], error);
    if (rc == ERROR_SUCCESS)
      rc = AddDeviceInterface(plan.disks[i].instance_id, GUID_DEVINTERFACE_DISK, nullptr, error);
  }
  for (std::size_t i = 0; rc == ERROR_SUCCESS && i < plan.volumes.size(); ++i) {
    VolumeNodeInfo volume = plan.volumes[i];
    if (volume.folder.empty() || first_letter == 'E') {
      rc = AddVolume(volume, nullptr, error);
      continue;
    }
    // Letters from the one the registry names; none free is no letter, as on Windows.
    rc = ERROR_ALREADY_EXISTS;
    for (char letter = first_letter; letter <= 'Z' && rc == ERROR_ALREADY_EXISTS; ++letter) {
      volume.drive_letter = letter;
      rc = AddVolume(volume, nullptr, error);
    }
    if (rc == ERROR_ALREADY_EXISTS) {
      volume.folder.clear();
      volume.drive_letter = 0;
      rc = AddVolume(volume, nullptr, error);
    }
  }
  // The access interface last: whoever hears of it finds the player's storage in place.
  if (rc == ERROR_SUCCESS) rc = AddDeviceInterface(plan.access_id, GUID_CLASS_HOXA_DEVICE, nullptr, error);
  if (rc != ERROR_SUCCESS) RemoveDevice(plan.device_id);
  return rc;
}

// Serialises scans across the prefix's processes (and this process's threads).
class ScanLock {
 public:
  ScanLock() {
    fd_ = open((devtree::LockFolder() + "/usb-scan.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) return;
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_len = 1;
    while (fcntl(fd_, F_OFD_SETLKW, &lock) != 0 && errno == EINTR) {
    }
  }
  ~ScanLock() {
    if (fd_ >= 0) close(fd_);
  }
  ScanLock(const ScanLock&) = delete;
  ScanLock& operator=(const ScanLock&) = delete;

 private:
  int fd_ = -1;
};

// A present node of that id that someone else added (the simulator): left alone.
bool Foreign(const devtree::Node* node) {
  return node && node->scan_signature.empty();
}

// Scans, and leaves the tree as it is afterwards in *tree.
DWORD Scan(devtree::Tree& tree, std::string* error) {
  try {
    Listing listing;
    if (const LONG rc = ReadState(&listing, &tree); rc != ERROR_SUCCESS) {
      if (error) *error = "cannot read the device tree (error " + std::to_string(rc) + ")";
      return static_cast<DWORD>(rc);
    }
    const auto owned = [&tree] {
      std::vector<const devtree::Node*> nodes;
      for (const devtree::Node& n : tree.nodes)
        if (n.present && !n.scan_signature.empty()) nodes.push_back(&n);
      return nodes;
    };
    if (listing.pairs.empty() && owned().empty()) return ERROR_SUCCESS;

    // Most scans find the tree as it should be: they look without the lock and write nothing.
    const auto plans_now = [&listing] {
      std::vector<Plan> plans;
      const std::vector<UsbDevice> found = FindDevices(listing);
      if (found.empty()) return plans;
      const std::map<std::string, std::string> mounts = ReadMounts();
      for (const UsbDevice& usb : found) plans.push_back(MakePlan(usb, mounts));
      return plans;
    };
    const auto up_to_date = [&tree, &owned](const std::vector<Plan>& plans) {
      std::size_t matched = 0;
      for (const Plan& plan : plans) {
        const devtree::Node* node = tree.FindPresent(devtree::Fold(plan.device_id));
        if (Foreign(node)) continue;
        if (!node || node->scan_signature != plan.signature) return false;
        ++matched;
      }
      return matched == owned().size();
    };
    if (up_to_date(plans_now())) return ERROR_SUCCESS;

    const ScanLock lock;
    devtree::LoadTree(&tree);  // as the last scan left it
    const std::vector<Plan> plans = plans_now();
    DWORD result = ERROR_SUCCESS;
    std::set<std::string> seen;
    for (const Plan& plan : plans) {
      const std::string folded = devtree::Fold(plan.device_id);
      seen.insert(folded);
      const devtree::Node* node = tree.FindPresent(folded);
      if (Foreign(node) || (node && node->scan_signature == plan.signature)) continue;
      if (node) RemoveDevice(plan.device_id);
      if (const DWORD rc = AddPlayer(plan, listing.first_letter, error); rc != ERROR_SUCCESS) result = rc;
    }
    for (const devtree::Node* node : owned())
      if (!seen.count(node->folded)) RemoveDevice(node->id);
    devtree::LoadTree(&tree);
    return result;
  } catch (const std::bad_alloc&) {
    if (error) *error = "out of memory";
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

}  // namespace

DWORD ScanUsbDevices(std::string* error) {
  devtree::Tree tree;
  return Scan(tree, error);
}

namespace devtree {

LONG ScanAndLoadTree(Tree* tree) {
  if (Scan(*tree, nullptr) == ERROR_SUCCESS) return ERROR_SUCCESS;
  return LoadTree(tree);  // after a failed scan, the tree as it is
}

}  // namespace devtree
}  // namespace tesk::win32
