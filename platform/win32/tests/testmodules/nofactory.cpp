// A module that is not a COM server: it has no DllGetClassObject.

#include <tesk/win32/windows.h>

extern "C" TESK_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow() {
  return S_OK;
}
