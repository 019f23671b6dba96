#include "util/secret.hpp"

#include <cstring>
#include <utility>

namespace vellicor {

void secure_wipe(void* p, std::size_t n) noexcept {
  if (p == nullptr || n == 0) return;
  volatile std::uint8_t* v = static_cast<volatile std::uint8_t*>(p);
  for (std::size_t i = 0; i < n; ++i) v[i] = 0;
  // Keeps the stores from being treated as dead before the memory is freed.
  __asm__ __volatile__("" : : "r"(p) : "memory");
}

bool equal_in_constant_time(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) noexcept {
  volatile std::uint8_t difference = 0;
  for (std::size_t i = 0; i < n; ++i) difference = static_cast<std::uint8_t>(difference | (a[i] ^ b[i]));
  return difference == 0;
}

SecretBytes::SecretBytes(std::size_t n) : data_(n ? new std::uint8_t[n]() : nullptr), size_(n) {}

SecretBytes::~SecretBytes() { reset(); }

SecretBytes::SecretBytes(SecretBytes&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

SecretBytes& SecretBytes::operator=(SecretBytes&& other) noexcept {
  if (this != &other) {
    reset();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
  }
  return *this;
}

void SecretBytes::reset() noexcept {
  secure_wipe(data_, size_);
  delete[] data_;
  data_ = nullptr;
  size_ = 0;
}

}  // namespace vellicor
