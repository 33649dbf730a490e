// CTeskObjectInfo: the play positions of one stored object.
#include "device.h"
#include "storage.h"

namespace teskcore {
namespace {

using tesk::sync::CSync;
using tesk::win32::ComPtr;

class CTeskObjectInfo final : public tesk::win32::ComObject<ITeskObjectInfo, IID_ITeskObjectInfo> {
 public:
  CTeskObjectInfo(ISpdStorage* own, CSync* lock) : own_(own), lock_(ComPtr<CSync>::Adopt(lock)) {}

  HRESULT STDMETHODCALLTYPE GetPlayLength(DWORD* pdwLength) override {
    return Get(SPD_PROP_PLAY_LENGTH, pdwLength);
  }
  HRESULT STDMETHODCALLTYPE SetPlayLength(DWORD dwLength) override {
    return Set(SPD_PROP_PLAY_LENGTH, dwLength);
  }
  HRESULT STDMETHODCALLTYPE GetPlayOffset(DWORD* pdwOffset) override {
    return Get(SPD_PROP_PLAY_OFFSET, pdwOffset);
  }
  HRESULT STDMETHODCALLTYPE SetPlayOffset(DWORD dwOffset) override {
    return Set(SPD_PROP_PLAY_OFFSET, dwOffset);
  }
  HRESULT STDMETHODCALLTYPE GetTotalLength(DWORD* pdwLength) override {
    return Get(SPD_PROP_TOTAL_LENGTH, pdwLength);
  }
  HRESULT STDMETHODCALLTYPE GetLastPlayPosition(DWORD* pdwPosition) override {
    return Get(SPD_PROP_LAST_PLAY_POSITION, pdwPosition);
  }
  HRESULT STDMETHODCALLTYPE GetLongestPlayPosition(DWORD* pdwPosition) override {
    return Get(SPD_PROP_LONGEST_PLAY_POSITION, pdwPosition);
  }

 private:
  HRESULT Get(UINT id, DWORD* value) {
    return Guarded(lock_.Get(), [&] { return GetDwordProperty(own_.Get(), id, value); });
  }
  HRESULT Set(UINT id, DWORD value) {
    return Guarded(lock_.Get(),
                   [&] { return own_->SetProperty(id, 0, SpdKindDword, &value, sizeof(value)); });
  }

  tesk::win32::CountedObject counted_{Counters()};
  const ComPtr<ISpdStorage> own_;
  const ComPtr<CSync> lock_;
};

}  // namespace

HRESULT CreateObjectInfo(ISpdStorage* own, CSync* lock, ITeskObjectInfo** pp) {
  return NewWithLockClone<CTeskObjectInfo>(lock, IID_ITeskObjectInfo, pp, own);
}

}  // namespace teskcore
