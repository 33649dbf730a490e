// The two storage enumerators: the volumes of a device and the children of a storage.
#include <cstdint>

#include "device.h"
#include "storage.h"

namespace teskcore {
namespace {

using tesk::sync::CSync;
using tesk::win32::ComPtr;

// What both enumerators share; they differ in where the count and the objects come from.
class StorageEnum : public tesk::win32::ComObject<ITeskEnumStorage, IID_ITeskEnumStorage> {
 public:
  HRESULT STDMETHODCALLTYPE Next(ULONG celt, ITeskStorage** rgpStorage, ULONG* pceltFetched) override {
    if (!rgpStorage || !pceltFetched) return E_INVALIDARG;
    *pceltFetched = 0;
    return Guarded(lock_.Get(), [&] {
      DWORD count = 0;
      HRESULT hr = Count(&count);
      if (FAILED(hr)) return hr;
      const DWORD start = position_;
      ULONG delivered = 0;
      while (position_ < count && delivered < celt) {
        hr = MakeStorage(position_, &rgpStorage[delivered]);
        if (FAILED(hr)) {
          // All or nothing: a failed call leaves no object with the caller and the
          // enumerator where it was.
          for (ULONG i = 0; i < delivered; ++i) {
            rgpStorage[i]->Release();
            rgpStorage[i] = nullptr;
          }
          position_ = start;
          return hr;
        }
        ++delivered;
        ++position_;
      }
      *pceltFetched = delivered;
      return delivered == celt ? S_OK : S_FALSE;
    });
  }

  HRESULT STDMETHODCALLTYPE Skip(ULONG celt) override {
    return Guarded(lock_.Get(), [&] {
      DWORD count = 0;
      const HRESULT hr = Count(&count);
      if (FAILED(hr)) return hr;
      const std::uint64_t position = std::uint64_t{position_} + celt;
      if (position < count) {
        position_ = static_cast<DWORD>(position);
        return S_OK;
      }
      position_ = 0;
      return S_FALSE;
    });
  }

  HRESULT STDMETHODCALLTYPE Reset() override {
    position_ = 0;
    Forget();
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Clone(ITeskEnumStorage** ppEnum) override {
    if (!ppEnum) return E_INVALIDARG;
    return Guarded(lock_.Get(), [&] { return MakeClone(ppEnum); });
  }

 protected:
  StorageEnum(DWORD position, CSync* lock) : lock_(ComPtr<CSync>::Adopt(lock)), position_(position) {}

  // The number of objects to enumerate.
  virtual HRESULT Count(DWORD* count) = 0;
  // Lets go of a count kept from an earlier call.
  virtual void Forget() {}
  // A new CTeskStorage for the object at `index`.
  virtual HRESULT MakeStorage(DWORD index, ITeskStorage** ppStorage) = 0;
  virtual HRESULT MakeClone(ITeskEnumStorage** ppEnum) = 0;

  tesk::win32::CountedObject counted_{Counters()};
  const ComPtr<CSync> lock_;
  DWORD position_;
};

// A device's volumes; the count is read on every call, so a medium that comes or goes is
// seen at once.
class VolumeEnum final : public StorageEnum {
 public:
  VolumeEnum(ISpdDevice* device, DWORD position, CSync* lock)
      : StorageEnum(position, lock), device_(device) {}

 private:
  HRESULT Count(DWORD* count) override { return device_->GetStorageCount(count); }

  HRESULT MakeStorage(DWORD index, ITeskStorage** ppStorage) override {
    ComPtr<ISpdStorage> volume;
    HRESULT hr = device_->GetStorage(index, volume.Put());
    if (FAILED(hr)) return hr;
    if (!volume) return E_FAIL;
    return CreateTeskStorage(device_.Get(), volume.Get(), volume.Get(), lock_.Get(), ppStorage);
  }

  HRESULT MakeClone(ITeskEnumStorage** ppEnum) override {
    return NewWithLockClone<VolumeEnum>(lock_.Get(), IID_ITeskEnumStorage, ppEnum, device_.Get(), position_);
  }

  const ComPtr<ISpdDevice> device_;
};

// A storage's children; the count is read once and kept until Reset, so the enumeration
// stays consistent while children are added or removed.
class ChildEnum final : public StorageEnum {
 public:
  ChildEnum(ISpdDevice* device, ISpdStorage* volume, ISpdStorage* parent, DWORD position, CSync* lock)
      : StorageEnum(position, lock), device_(device), volume_(volume), parent_(parent) {}

 private:
  HRESULT Count(DWORD* count) override {
    if (!counted_children_) {
      DWORD children = 0;
      const HRESULT hr = parent_->GetChildCount(&children);
      if (FAILED(hr)) return hr;
      children_ = children;
      counted_children_ = true;
    }
    *count = children_;
    return S_OK;
  }

  void Forget() override { counted_children_ = false; }

  HRESULT MakeStorage(DWORD index, ITeskStorage** ppStorage) override {
    ComPtr<ISpdStorage> child;
    HRESULT hr = parent_->GetChild(index, child.Put());
    if (FAILED(hr)) return hr;
    if (!child) return E_FAIL;
    return CreateTeskStorage(device_.Get(), volume_.Get(), child.Get(), lock_.Get(), ppStorage);
  }

  // The clone reads the count afresh.
  HRESULT MakeClone(ITeskEnumStorage** ppEnum) override {
    return NewWithLockClone<ChildEnum>(lock_.Get(), IID_ITeskEnumStorage, ppEnum, device_.Get(),
                                       volume_.Get(), parent_.Get(), position_);
  }

  const ComPtr<ISpdDevice> device_;
  const ComPtr<ISpdStorage> volume_;
  const ComPtr<ISpdStorage> parent_;
  bool counted_children_ = false;
  DWORD children_ = 0;
};

}  // namespace

HRESULT CreateVolumeEnum(ISpdDevice* device, CSync* lock, ITeskEnumStorage** ppEnum) {
  return NewWithLockClone<VolumeEnum>(lock, IID_ITeskEnumStorage, ppEnum, device, DWORD{0});
}

HRESULT CreateChildEnum(ISpdDevice* device, ISpdStorage* volume, ISpdStorage* parent, CSync* lock,
                        ITeskEnumStorage** ppEnum) {
  return NewWithLockClone<ChildEnum>(lock, IID_ITeskEnumStorage, ppEnum, device, volume, parent, DWORD{0});
}

}  // namespace teskcore
