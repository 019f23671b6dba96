#pragma once
// Key material lives in SecretBytes: move-only, and wiped before its memory is
// released, so freed pages never carry a key to swap or to a later bug.

#include <cstddef>
#include <cstdint>
#include <span>

namespace vellicor {

// Overwrites n bytes in a way the optimiser may not drop.
void secure_wipe(void* p, std::size_t n) noexcept;

// Whether n bytes at a and b are equal, in a time that does not depend on
// where they differ.
bool equal_in_constant_time(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) noexcept;

class SecretBytes {
 public:
  SecretBytes() = default;
  explicit SecretBytes(std::size_t n);  // zero-filled
  ~SecretBytes();
  SecretBytes(SecretBytes&& other) noexcept;
  SecretBytes& operator=(SecretBytes&& other) noexcept;
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;

  std::uint8_t* data() noexcept { return data_; }
  const std::uint8_t* data() const noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  std::span<std::uint8_t> span() noexcept { return {data_, size_}; }
  std::span<const std::uint8_t> span() const noexcept { return {data_, size_}; }

  // Wipes and frees now; the object is then empty.
  void reset() noexcept;

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace vellicor
