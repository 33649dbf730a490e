// teskroot's objects: the root device manager and its aggregating device enumerator.
#pragma once

#include <vector>

#include <tesk/tesk.h>
#include <tesk/win32/comserver.h>
#include <tesk/win32/windows.h>

namespace teskroot {

// Factories, root objects and enumerators alive, and LockServer locks held.
tesk::win32::ServerCounters& Counters();

// The root object: ITesk, with no state besides its reference count.
class CTesk final : public tesk::win32::ComObject<ITesk, IID_ITesk> {
 public:
  static HRESULT CreateInstance(REFIID riid, void** ppv);

  DWORD STDMETHODCALLTYPE GetRevision() override;
  HRESULT STDMETHODCALLTYPE GetDeviceCount(DWORD* pdwCount) override;
  HRESULT STDMETHODCALLTYPE EnumDevices(ITeskEnumDevice** ppEnum) override;

 private:
  CTesk() : counted_(Counters()) {}
  tesk::win32::CountedObject counted_;
};

// Draws devices from every enumerator class listed under ...\Tesk\Devices, in registry
// order, as if they were one list. Meant for one thread at a time.
class CTeskEnumDevices final : public tesk::win32::ComObject<ITeskEnumDevice, IID_ITeskEnumDevice> {
 public:
  static HRESULT CreateInstance(REFIID riid, void** ppv);

  HRESULT STDMETHODCALLTYPE Next(ULONG celt, ITeskDevice** rgpDevice, ULONG* pceltFetched) override;
  HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override;
  HRESULT STDMETHODCALLTYPE Reset() override;
  HRESULT STDMETHODCALLTYPE Clone(ITeskEnumDevice** ppEnum) override;

 private:
  CTeskEnumDevices() : counted_(Counters()) {}
  ~CTeskEnumDevices() override;
  void ReadRegistry();
  ITeskEnumDevice* MemberAt(LONG index) const { return index < member_count_ ? members_[index] : nullptr; }

  tesk::win32::CountedObject counted_;
  LONG member_count_ = -1;                 // -1 until the registry has been read
  LONG position_ = 0;                      // the member currently drawn from
  std::vector<ITeskEnumDevice*> members_;  // one reference each
};

}  // namespace teskroot
