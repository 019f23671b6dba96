#pragma once
// A value that is overwritten when its scope ends, on every way out. Secret
// intermediates of the KEM (noise, s-hat copies, messages, Kbar || r, the
// re-encryption) live in these.

#include "util/secret.hpp"

namespace vellicor::kyber {

template <class T>
struct Scrubbed {
  Scrubbed() = default;
  ~Scrubbed() { secure_wipe(&value, sizeof value); }
  Scrubbed(const Scrubbed&) = delete;
  Scrubbed& operator=(const Scrubbed&) = delete;

  T value;  // left uninitialised: every user writes it before reading
};

}  // namespace vellicor::kyber
