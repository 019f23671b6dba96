#pragma once
// The matrix seed rho is public (it is the tail of the public key), yet it is
// computed from the secret d, so a checker that tracks secret data through the
// program would flag the rejection sampling that reads it. The checker installs
// a hook here to mark rho as public at that point; without one it is a no-op.

#include <cstddef>

namespace vellicor::kyber {

using DeclassifyHook = void (*)(const void* data, std::size_t size);

// nullptr removes the hook.
void set_declassify_hook(DeclassifyHook hook);
void declassify(const void* data, std::size_t size);

}  // namespace vellicor::kyber
