#pragma once
// The byte container used for file contents, key material and PNG data.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace vellicor {

// An allocator whose construct() default-initialises, so that growing a buffer
// that is about to be overwritten by a read does not first zero gigabytes.
// resize(n) therefore leaves new bytes indeterminate; use assign(n, 0) where
// zero-filled bytes are wanted.
template <class T>
struct DefaultInitAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };
  DefaultInitAllocator() = default;
  template <class U>
  DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}

  template <class U>
  void construct(U* p) noexcept(std::is_nothrow_default_constructible_v<U>) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

using ByteBuffer = std::vector<std::uint8_t, DefaultInitAllocator<std::uint8_t>>;
using ByteView = std::span<const std::uint8_t>;

}  // namespace vellicor
