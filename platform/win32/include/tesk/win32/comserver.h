// The pieces every in-process server module shares: its live-object and lock counters,
// and a class factory for one class.
#pragma once

#include <atomic>
#include <new>

#include <tesk/win32/unknwn.h>

namespace tesk::win32 {

// DllCanUnloadNow answers S_OK only when both counters are zero.
class ServerCounters {
 public:
  void ObjectCreated() { objects_.fetch_add(1); }
  void ObjectDestroyed() { objects_.fetch_sub(1); }
  void Lock(bool lock) {
    if (lock)
      locks_.fetch_add(1);
    else
      locks_.fetch_sub(1);
  }
  long Objects() const { return objects_.load(); }
  long Locks() const { return locks_.load(); }
  HRESULT CanUnloadNow() const { return objects_.load() == 0 && locks_.load() == 0 ? S_OK : S_FALSE; }

 private:
  std::atomic<long> objects_{0};
  std::atomic<long> locks_{0};
};

// Keeps one object counted for its whole life.
class CountedObject {
 public:
  explicit CountedObject(ServerCounters& counters) : counters_(counters) { counters_.ObjectCreated(); }
  ~CountedObject() { counters_.ObjectDestroyed(); }
  CountedObject(const CountedObject&) = delete;
  CountedObject& operator=(const CountedObject&) = delete;

 private:
  ServerCounters& counters_;
};

// Hands the new reference of a freshly made object (count 0) to the caller through
// QueryInterface; the object goes away at once when the interface is not offered.
template <class Object>
HRESULT QueryNewObject(Object* object, REFIID riid, void** ppv) {
  if (!object) return E_OUTOFMEMORY;
  object->AddRef();
  const HRESULT hr = object->QueryInterface(riid, ppv);
  object->Release();
  return hr;
}

// Reference counting, and QueryInterface for IUnknown and one interface, for an object that
// lives on the heap and goes away with its last Release.
template <class Interface, const IID& kInterfaceId>
class ComObject : public Interface {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == kInterfaceId) {
      *ppv = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return refs_.fetch_add(1) + 1; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = refs_.fetch_sub(1) - 1;
    if (left == 0) delete this;
    return left;
  }

 protected:
  ComObject() = default;
  virtual ~ComObject() = default;
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

 private:
  std::atomic<ULONG> refs_{0};
};

// Class factory for Object, which provides `static HRESULT CreateInstance(REFIID, void**)`.
// The factory itself counts as a live object of the module.
template <class Object>
class ClassFactory final : public ComObject<IClassFactory, IID_IClassFactory> {
 public:
  explicit ClassFactory(ServerCounters& counters) : counted_(counters), counters_(counters) {}

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return Object::CreateInstance(riid, ppv);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    counters_.Lock(lock != FALSE);
    return S_OK;
  }

  // What DllGetClassObject does once it has recognised the class.
  static HRESULT Create(ServerCounters& counters, REFIID riid, void** ppv) {
    return QueryNewObject(new (std::nothrow) ClassFactory(counters), riid, ppv);
  }

 private:
  CountedObject counted_;
  ServerCounters& counters_;
};

}  // namespace tesk::win32
