// Reading the device tree out of the registry, and the process's DEVINST numbers.
#include "devtree_store.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include <tesk/win32/devtree.h>
#include <tesk/win32/winreg.h>

namespace tesk::win32::devtree {
namespace {

using registry::Txn;

char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string ToLower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = Lower(c);
  return out;
}

std::string Hashed(std::string_view id) {
  std::string out(id);
  std::replace(out.begin(), out.end(), '\\', '#');
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseHex(std::string_view text, std::uint64_t* value) {
  *value = 0;
  for (const char c : text) {
    const int digit = HexValue(c);
    if (digit < 0) return false;
    *value = (*value << 4) | static_cast<unsigned>(digit);
  }
  return true;
}

std::vector<std::string_view> SplitId(std::string_view id) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t slash = id.find('\\', start);
    parts.push_back(id.substr(start, slash == std::string_view::npos ? id.npos : slash - start));
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }
  return parts;
}

std::int64_t Child(Txn& txn, std::int64_t parent, std::string_view name) {
  std::int64_t id = 0;
  return txn.FindChild(parent, registry::Fold(name), &id) ? id : 0;
}

// A key's values by folded name, read in one statement.
class ValueMap {
 public:
  ValueMap(Txn& txn, std::int64_t key) {
    if (key) txn.Values(key, &values_);
  }
  std::string String(std::string_view name) const {
    const registry::Value* v = Find(name);
    if (!v || (v->type != REG_SZ && v->type != REG_EXPAND_SZ)) return {};
    std::string text = v->data;
    while (!text.empty() && text.back() == '\0') text.pop_back();
    return text;
  }
  bool Dword(std::string_view name, DWORD* out) const {
    const registry::Value* v = Find(name);
    if (!v || v->type != REG_DWORD || v->data.size() != 4) return false;
    std::memcpy(out, v->data.data(), 4);
    return true;
  }

 private:
  const registry::Value* Find(std::string_view name) const {
    const std::string folded = registry::Fold(name);
    for (const registry::Value& v : values_)
      if (registry::Fold(v.name) == folded) return &v;
    return nullptr;
  }
  std::vector<registry::Value> values_;
};

void ReadNode(Txn& txn, std::int64_t key, Node* node) {
  const ValueMap values(txn, key);
  node->parent = Fold(values.String(kParentValue));
  if (node->parent.empty()) node->parent = Fold(kRootInstanceId);
  DWORD present = 0;
  node->present = values.Dword(kPresentValue, &present) && present != 0;
  const ValueMap params(txn, Child(txn, key, kHardwareKey));
  node->usb_backend = params.String(kUsbBackendValue);
  node->usb_argument = params.String(kUsbArgumentValue);
  node->volume_guid = params.String(kVolumeGuidValue);
  node->mount_folder = params.String(kMountFolderValue);
  node->scan_signature = params.String(kScanSignatureValue);
}

void ReadNodes(Txn& txn, std::int64_t hklm, Tree* tree) {
  std::int64_t enum_key = 0;
  if (!WalkNames(txn, hklm, {std::begin(kEnumPath), std::end(kEnumPath)}, false, &enum_key)) return;
  const std::string root = Fold(kRootInstanceId);
  std::vector<std::string> enumerators;
  txn.ChildNames(enum_key, &enumerators);
  for (const std::string& enumerator : enumerators) {
    const std::int64_t enumerator_key = Child(txn, enum_key, enumerator);
    std::vector<std::string> devices;
    txn.ChildNames(enumerator_key, &devices);
    for (const std::string& device : devices) {
      const std::int64_t device_key = Child(txn, enumerator_key, device);
      std::vector<std::string> instances;
      txn.ChildNames(device_key, &instances);
      for (const std::string& instance : instances) {
        Node node;
        node.id = enumerator + "\\" + device + "\\" + instance;
        node.folded = Fold(node.id);
        if (node.folded == root) continue;
        ReadNode(txn, Child(txn, device_key, instance), &node);
        tree->nodes.push_back(std::move(node));
      }
    }
  }
  std::sort(tree->nodes.begin() + 1, tree->nodes.end(),
            [](const Node& a, const Node& b) { return a.folded < b.folded; });
}

void ReadInterfaces(Txn& txn, std::int64_t hklm, Tree* tree) {
  std::int64_t classes_key = 0;
  if (!WalkNames(txn, hklm, {std::begin(kClassesPath), std::end(kClassesPath)}, false, &classes_key)) return;
  std::vector<std::string> classes;
  txn.ChildNames(classes_key, &classes);
  for (const std::string& class_name : classes) {
    GUID interface_class{};
    if (!ParseGuid(class_name, &interface_class)) continue;
    const std::int64_t class_key = Child(txn, classes_key, class_name);
    std::vector<std::string> names;
    txn.ChildNames(class_key, &names);
    for (const std::string& name : names) {
      const std::int64_t key = Child(txn, class_key, name);
      Interface entry;
      entry.interface_class = interface_class;
      const std::string instance = ValueMap(txn, key).String(kDeviceInstanceValue);
      if (instance.empty()) continue;
      entry.instance = Fold(instance);
      if (const std::int64_t link = Child(txn, key, "#")) {
        entry.path = NormalizeDevicePath(ValueMap(txn, link).String(kSymbolicLinkValue));
        const ValueMap control(txn, Child(txn, link, "Control"));
        DWORD linked = 0;
        entry.linked = control.Dword(kLinkedValue, &linked) && linked != 0;
        control.Dword(kLinkGenerationValue, &entry.generation);
      }
      if (entry.path.empty()) entry.path = InterfacePath(instance, interface_class);
      tree->interfaces.push_back(std::move(entry));
    }
  }
}

struct DevInstTable {
  std::mutex mutex;
  std::vector<std::string> ids;  // number n is ids[n - 1]
  std::unordered_map<std::string, DEVINST> numbers;
};

DevInstTable& Table() {
  static DevInstTable* table = [] {
    auto* t = new DevInstTable;
    t->ids.push_back(Fold(kRootInstanceId));
    t->numbers.emplace(t->ids.back(), 1);
    return t;
  }();
  return *table;
}

}  // namespace

const Node* Tree::Find(std::string_view folded) const {
  for (const Node& node : nodes)
    if (node.folded == folded) return &node;
  return nullptr;
}

const Node* Tree::FindPresent(std::string_view folded) const {
  const Node* node = Find(folded);
  return node && node->present ? node : nullptr;
}

std::vector<const Node*> Tree::Children(std::string_view folded) const {
  std::vector<const Node*> out;
  for (const Node& node : nodes)
    if (node.present && node.parent == folded && !node.parent.empty()) out.push_back(&node);
  return out;
}

std::vector<const Node*> Tree::Subtree(std::string_view folded) const {
  std::vector<const Node*> out;
  const Node* top = FindPresent(folded);
  if (!top) return out;
  std::vector<const Node*> stack = {top};
  while (!stack.empty()) {
    const Node* node = stack.back();
    stack.pop_back();
    // A parent link that loops back is a damaged registry; never walk it twice.
    if (std::find(out.begin(), out.end(), node) != out.end()) continue;
    out.push_back(node);
    const std::vector<const Node*> children = Children(node->folded);
    for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back(*it);
  }
  return out;
}

bool Tree::Present(const Interface& i) const {
  return i.linked && FindPresent(i.instance) != nullptr;
}

const Interface* Tree::FindInterface(std::string_view path) const {
  const std::string wanted = NormalizeDevicePath(path);
  for (const Interface& i : interfaces)
    if (i.path == wanted) return &i;
  return nullptr;
}

void LoadTree(Txn& txn, Tree* tree) {
  tree->nodes.clear();
  tree->interfaces.clear();
  Node root;
  root.id = kRootInstanceId;
  root.folded = Fold(root.id);
  root.present = true;
  tree->nodes.push_back(std::move(root));
  const std::int64_t hklm = LocalMachine(txn);
  ReadNodes(txn, hklm, tree);
  ReadInterfaces(txn, hklm, tree);
}

LONG LoadTree(Tree* tree) {
  return registry::Transact(registry::Mode::kRead, [&](Txn& txn) -> LONG {
    LoadTree(txn, tree);
    return ERROR_SUCCESS;
  });
}

std::string Fold(std::string_view id) {
  return registry::Fold(id);
}

std::string GuidText(REFGUID g) {
  char text[40];
  std::snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2,
                g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                g.Data4[7]);
  return text;
}

bool ParseGuid(std::string_view text, GUID* guid) {
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return false;
  text = text.substr(1, 36);
  if (text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-') return false;
  std::uint64_t v1 = 0, v2 = 0, v3 = 0, v4 = 0, v5 = 0;
  if (!ParseHex(text.substr(0, 8), &v1) || !ParseHex(text.substr(9, 4), &v2) ||
      !ParseHex(text.substr(14, 4), &v3) || !ParseHex(text.substr(19, 4), &v4) ||
      !ParseHex(text.substr(24, 12), &v5)) {
    return false;
  }
  guid->Data1 = static_cast<DWORD>(v1);
  guid->Data2 = static_cast<WORD>(v2);
  guid->Data3 = static_cast<WORD>(v3);
  guid->Data4[0] = static_cast<BYTE>(v4 >> 8);
  guid->Data4[1] = static_cast<BYTE>(v4);
  for (int i = 0; i < 6; ++i) guid->Data4[2 + i] = static_cast<BYTE>(v5 >> (8 * (5 - i)));
  return true;
}

bool ValidInstanceId(std::string_view id) {
  if (id.empty() || id.size() > MAX_DEVICE_ID_LEN) return false;
  for (const char c : id) {
    const auto b = static_cast<unsigned char>(c);
    if (b <= 0x20 || b >= 0x7F || c == ',' || c == '#' || c == '/') return false;
  }
  const std::vector<std::string_view> parts = SplitId(id);
  return parts.size() == 3 && !parts[0].empty() && !parts[1].empty() && !parts[2].empty();
}

std::string InterfaceKeyName(std::string_view instance_id, REFGUID interface_class) {
  return "##?#" + Hashed(instance_id) + "#" + GuidText(interface_class);
}

std::string InterfacePath(std::string_view instance_id, REFGUID interface_class) {
  return ToLower("\\\\?\\" + Hashed(instance_id) + "#" + GuidText(interface_class));
}

std::string NormalizeDevicePath(std::string_view path) {
  std::string out = ToLower(path);
  if (out.rfind("\\\\.\\", 0) == 0) out[2] = '?';
  return out;
}

DEVINST DevInstFor(std::string_view folded) {
  DevInstTable& table = Table();
  std::lock_guard lock(table.mutex);
  const std::string key(folded);
  if (const auto it = table.numbers.find(key); it != table.numbers.end()) return it->second;
  table.ids.push_back(key);
  const auto number = static_cast<DEVINST>(table.ids.size());
  table.numbers.emplace(key, number);
  return number;
}

bool IdForDevInst(DEVINST devinst, std::string* folded) {
  DevInstTable& table = Table();
  std::lock_guard lock(table.mutex);
  if (devinst == 0 || devinst > table.ids.size()) return false;
  *folded = table.ids[devinst - 1];
  return true;
}

std::string ReadString(Txn& txn, std::int64_t key, std::string_view name) {
  registry::Value value;
  if (!txn.GetValue(key, registry::Fold(name), &value)) return {};
  if (value.type != REG_SZ && value.type != REG_EXPAND_SZ) return {};
  std::string text = value.data;
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

bool ReadDword(Txn& txn, std::int64_t key, std::string_view name, DWORD* out) {
  registry::Value value;
  if (!txn.GetValue(key, registry::Fold(name), &value) || value.type != REG_DWORD || value.data.size() != 4)
    return false;
  std::memcpy(out, value.data.data(), 4);
  return true;
}

void WriteString(Txn& txn, std::int64_t key, std::string_view name, std::string_view value) {
  std::string data(value);
  data.push_back('\0');
  txn.SetValue(key, name, registry::Fold(name), REG_SZ, data);
}

void WriteMultiString(Txn& txn, std::int64_t key, std::string_view name,
                      const std::vector<std::string>& values) {
  std::string data;
  for (const std::string& v : values) {
    data += v;
    data.push_back('\0');
  }
  data.push_back('\0');
  txn.SetValue(key, name, registry::Fold(name), REG_MULTI_SZ, data);
}

void WriteDword(Txn& txn, std::int64_t key, std::string_view name, DWORD value) {
  char data[4];
  std::memcpy(data, &value, 4);
  txn.SetValue(key, name, registry::Fold(name), REG_DWORD, std::string_view(data, 4));
}

bool WalkNames(Txn& txn, std::int64_t from, const std::vector<std::string_view>& names, bool create,
               std::int64_t* id) {
  std::int64_t at = from;
  for (const std::string_view name : names) {
    const std::string folded = registry::Fold(name);
    std::int64_t child = 0;
    if (txn.FindChild(at, folded, &child)) {
      at = child;
    } else if (create) {
      at = txn.AddChild(at, name, folded);
    } else {
      return false;
    }
  }
  *id = at;
  return true;
}

std::int64_t LocalMachine(Txn& txn) {
  std::int64_t id = 0;
  REGSAM access = 0;
  txn.Resolve(HKEY_LOCAL_MACHINE, &id, &access);
  return id;
}

bool NodeKey(Txn& txn, std::string_view instance_id, bool create, std::int64_t* id) {
  std::vector<std::string_view> names(std::begin(kEnumPath), std::end(kEnumPath));
  for (const std::string_view part : SplitId(instance_id)) names.push_back(part);
  return WalkNames(txn, LocalMachine(txn), names, create, id);
}

}  // namespace tesk::win32::devtree
