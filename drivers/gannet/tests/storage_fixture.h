// A simulated player whose drive E: is a folder of the test's prefix, and spgannet loaded
// afresh to reach that drive's medium root.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <tesk/sim.h>
#include <tesk/spd.h>
#include <tesk/win32/comptr.h>
#include <tesk/win32/unknwn.h>
#include <tesk/win32/winbase.h>
#include <tesk/win32/winreg.h>

#include "gannet.h"
#include <tesk_testing.h>

namespace gannet_storage_test {

using tesk::win32::ComPtr;

inline std::u16string Wide(const std::string& s) {
  return std::u16string(s.begin(), s.end());
}
inline std::string Narrow(const WCHAR* s) {
  std::string out;
  for (; *s; ++s) out.push_back(static_cast<char>(*s));
  return out;
}

class StorageTest : public tesk::testing::PrefixTest {
 protected:
  void SetUp() override {
    folder_ = prefix() + "/player";
    std::filesystem::create_directories(folder_);
    tesk::sim::AttachOptions options;
    options.folder = folder_;
    options.letter = 'E';
    const tesk::sim::Status attached = tesk::sim::Attach("q41", options);
    ASSERT_TRUE(attached.ok()) << attached.message;
  }

  void TearDown() override {
    if (!module_) return;
    using CanUnloadNow = HRESULT(STDAPICALLTYPE*)();
    const auto can_unload = tesk::win32::GetProcAddressAs<CanUnloadNow>(module_, "DllCanUnloadNow");
    EXPECT_EQ(S_OK, can_unload()) << "storage objects outlive the test";
    FreeLibrary(module_);
  }

  // Writes a file into the player's folder.
  void Put(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(folder_ + "/" + name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  void Put(const std::string& name, const std::string& text = "") {
    Put(name, std::vector<std::uint8_t>(text.begin(), text.end()));
  }
  std::vector<std::uint8_t> Contents(const std::string& name) const {
    std::ifstream in(folder_ + "/" + name, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  bool Exists(const std::string& name) const { return std::filesystem::exists(folder_ + "/" + name); }

  // The drive's medium root, through the driver and its device.
  ComPtr<ISpdStorage> Root() {
    if (!module_) {
      module_ = LoadLibraryA((tesk::testing::LibDir() + "/libspgannet.so").c_str());
      EXPECT_NE(nullptr, module_);
      if (!module_) return {};
    }
    using GetClassObject = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);
    const auto get = tesk::win32::GetProcAddressAs<GetClassObject>(module_, "DllGetClassObject");
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(S_OK, get(gannet::CLSID_GannetDriver, IID_IClassFactory, factory.PutVoid()));
    if (!factory) return {};
    ComPtr<ISpdDriver> driver;
    EXPECT_EQ(S_OK, factory->CreateInstance(nullptr, IID_ISpdDriver, driver.PutVoid()));
    if (!driver) return {};
    ComPtr<ISpdDevice> device;
    EXPECT_EQ(S_OK, driver->GetDevice(0, device.Put()));
    if (!device) return {};
    ComPtr<ISpdStorage> root;
    EXPECT_EQ(S_OK, device->GetStorage(0, root.Put()));
    return root;
  }

  static ComPtr<ISpdStorage> Child(const ComPtr<ISpdStorage>& root, DWORD index) {
    ComPtr<ISpdStorage> child;
    EXPECT_EQ(S_OK, root->GetChild(index, child.Put()));
    return child;
  }

  // Names of the root's entries, read afresh.
  static std::vector<std::string> Names(const ComPtr<ISpdStorage>& root) {
    DWORD count = 0;
    EXPECT_EQ(S_OK, root->GetChildCount(&count));
    std::vector<std::string> names;
    for (DWORD i = 0; i < count; ++i) names.push_back(Name(Child(root, i)));
    return names;
  }

  static std::string Name(const ComPtr<ISpdStorage>& storage) {
    WCHAR name[260] = {};
    EXPECT_EQ(S_OK, storage->GetName(name, 260));
    return Narrow(name);
  }

  static DWORD Dword(const ComPtr<ISpdStorage>& storage, UINT id, HRESULT expected = S_OK) {
    DWORD value = 0xDEADBEEF;
    EXPECT_EQ(expected, storage->GetProperty(id, 0, SpdKindDword, &value, sizeof value)) << "property " << id;
    return value;
  }

  // A new file written through a stream; the storage stays referenced by the caller.
  ComPtr<ISpdStorage> Create(const ComPtr<ISpdStorage>& root, const std::string& name) {
    ComPtr<ISpdStorage> file;
    EXPECT_EQ(S_OK, root->CreateChild(Wide(name).c_str(), SPD_CREATE_FILE, SPD_POSITION_INTO, file.Put()));
    return file;
  }

  static void SetText(const ComPtr<ISpdStorage>& file, const char (&id)[5], const std::string& text) {
    SpdFrame frame = {sizeof(SpdFrame), SPD_FRAME_TYPE_TEXT, SpdFrameId(id), static_cast<DWORD>(text.size()),
                      reinterpret_cast<BYTE*>(const_cast<char*>(text.data()))};
    file->SetProperty(SPD_PROP_FRAME, SpdFrameId(id), SpdKindFrame, &frame, sizeof frame);
  }

  static HRESULT WriteAll(const ComPtr<ISpdStorage>& file, const std::string& data, BOOL commit) {
    ComPtr<ISpdStream> stream;
    HRESULT hr = file->OpenStream(stream.Put());
    if (FAILED(hr)) return hr;
    hr = stream->OpenWrite(0);
    if (FAILED(hr)) return hr;
    DWORD len = static_cast<DWORD>(data.size());
    if (len) {
      hr = stream->Write(data.data(), &len);
      if (FAILED(hr)) return hr;
    }
    return stream->Close(commit);
  }

  static void SwitchKey(const char* name, bool on) {
    const std::string path = std::string("Software\\Vorelle\\Tesk\\Holvenn\\") + name;
    if (on) {
      HKEY key = nullptr;
      ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                               KEY_ALL_ACCESS, nullptr, &key, nullptr));
      RegCloseKey(key);
    } else {
      RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
    }
  }

  std::string folder_;
  HMODULE module_ = nullptr;
};

}  // namespace gannet_storage_test
