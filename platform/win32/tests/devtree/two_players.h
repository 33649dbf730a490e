// A fixture with two test players attached: G0001 (drive E:) and G0002 (drive F:).
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tesk_testing.h>

#include <tesk/win32/cfgmgr32.h>
#include <tesk/win32/devtree.h>
#include <tesk/win32/setupapi.h>
#include <tesk/win32/winbase.h>

#include "devtree_fixture.h"

namespace devtree_test {

inline std::string BackendPath() {
  return tesk::testing::LibDir() + "/libdevtree_testbackend.so";
}

class TwoPlayersTest : public tesk::testing::PrefixTest {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_EQ(AddPlayer(prefix(), BackendPath(), "G0001", &a_, &error), DWORD{ERROR_SUCCESS}) << error;
    ASSERT_EQ(AddPlayer(prefix(), BackendPath(), "G0002", &b_, &error), DWORD{ERROR_SUCCESS}) << error;
  }

  // The device paths of the present interfaces of a class, in SetupAPI's order.
  static std::vector<std::string> PresentPaths(const GUID& interface_class) {
    std::vector<std::string> paths;
    const HDEVINFO set =
        SetupDiGetClassDevsA(&interface_class, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return {"<no set>"};
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &interface_class, i, &data); ++i) {
      char buffer[512];
      auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer);
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
      if (SetupDiGetDeviceInterfaceDetailA(set, &data, detail, sizeof(buffer), nullptr, nullptr))
        paths.emplace_back(detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
  }

  static DEVINST Locate(const std::string& id) {
    DEVINST devinst = 0;
    CM_Locate_DevNodeA(&devinst, const_cast<char*>(id.c_str()), CM_LOCATE_DEVNODE_NORMAL);
    return devinst;
  }

  static std::string IdOf(DEVINST devinst) {
    char id[MAX_DEVICE_ID_LEN + 1] = {};
    if (CM_Get_Device_IDA(devinst, id, sizeof(id), 0) != CR_SUCCESS) return "<none>";
    return id;
  }

  Player a_, b_;
};

}  // namespace devtree_test
