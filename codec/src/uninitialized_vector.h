// A vector whose resize leaves new elements uninitialised: for working
// buffers that are written in full right after they are sized, so that no
// page is touched twice (once to zero it, once to fill it). Large ones ask
// for huge pages before their first touch.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "quorvane/huge_page_advice.h"

namespace quorvane::codec {

template <class T>
class DefaultInitAllocator : public std::allocator<T> {
 public:
  using value_type = T;
  template <class U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };

  DefaultInitAllocator() = default;
  template <class U>
  DefaultInitAllocator(const DefaultInitAllocator<U>& /*other*/) noexcept {}

  T* allocate(std::size_t n) {
    T* data = std::allocator<T>::allocate(n);
    advise_huge_pages(data, n * sizeof(T));
    return data;
  }

  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

template <class T>
using UninitializedVector = std::vector<T, DefaultInitAllocator<T>>;

}  // namespace quorvane::codec
