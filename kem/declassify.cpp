#include "kem/declassify.hpp"

#include <atomic>

namespace vellicor::kyber {
namespace {
std::atomic<DeclassifyHook> g_hook{nullptr};
}

void set_declassify_hook(DeclassifyHook hook) { g_hook.store(hook); }

void declassify(const void* data, std::size_t size) {
  if (const DeclassifyHook hook = g_hook.load()) hook(data, size);
}

}  // namespace vellicor::kyber
