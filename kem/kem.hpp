#pragma once
// What the rest of the program includes for the KEM: liboqs's interface, from
// an installed liboqs or from the built-in Kyber-1024, and an owner for the
// KEM object so that it is freed exactly once on every path.

#include <memory>

#ifdef VELLICOR_SYSTEM_LIBOQS
#include <oqs/oqs.h>
#else
#include "kem/oqs_kem.h"
#endif

namespace vellicor {

struct KemDeleter {
  void operator()(OQS_KEM* kem) const noexcept { OQS_KEM_free(kem); }
};
using KemHandle = std::unique_ptr<OQS_KEM, KemDeleter>;

inline KemHandle make_kyber1024() { return KemHandle(OQS_KEM_new(OQS_KEM_alg_kyber_1024)); }

}  // namespace vellicor
