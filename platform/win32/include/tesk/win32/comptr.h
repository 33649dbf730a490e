// A small owning pointer for COM interfaces, so that no early return leaks a reference.
#pragma once

#include <utility>

#include <tesk/win32/unknwn.h>

namespace tesk::win32 {

template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  // Takes a new reference.
  explicit ComPtr(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  ComPtr(const ComPtr& other) : ComPtr(other.p_) {}
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ~ComPtr() { Reset(); }

  ComPtr& operator=(const ComPtr& other) {
    ComPtr(other).Swap(*this);
    return *this;
  }
  ComPtr& operator=(ComPtr&& other) noexcept {
    ComPtr(std::move(other)).Swap(*this);
    return *this;
  }

  // Adopts a reference the caller already owns.
  static ComPtr Adopt(T* p) {
    ComPtr c;
    c.p_ = p;
    return c;
  }

  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

  // For out-parameters: releases what is held and hands out the slot.
  T** Put() {
    Reset();
    return &p_;
  }
  void** PutVoid() { return reinterpret_cast<void**>(Put()); }

  // Gives up ownership without releasing.
  T* Detach() { return std::exchange(p_, nullptr); }

  void Reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }
  void Swap(ComPtr& other) noexcept { std::swap(p_, other.p_); }

  template <class U>
  HRESULT As(REFIID iid, ComPtr<U>* out) const {
    return p_ ? p_->QueryInterface(iid, out->PutVoid()) : E_POINTER;
  }

 private:
  T* p_ = nullptr;
};

}  // namespace tesk::win32
