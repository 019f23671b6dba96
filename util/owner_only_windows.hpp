#pragma once
// For the Windows files of util/ only: the security descriptor that makes a
// new folder or file the user's alone, the counterpart of mode 0700 / 0600.
// Its access list is protected (nothing is inherited from the folder above)
// and grants full access to two accounts only: the user the process runs as,
// and SYSTEM. Handed to CreateDirectoryW and CreateFileW, it applies from the
// moment the name exists; there is no window in which the folder's own list
// lets others in.
//
// Both calls return false on failure and leave the reason in GetLastError();
// they write no text (the caller reports).

#include <windows.h>

#include <string>
#include <vector>

namespace vellicor {

// The user the process runs as: its TOKEN_USER in `buffer`, its SID through
// user_sid(buffer).
bool process_user(std::vector<unsigned char>& buffer);
inline PSID user_sid(std::vector<unsigned char>& buffer) { return reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid; }

// "D:P(A;OICI;FA;;;<the process user's SID>)(A;OICI;FA;;;SY)".
bool owner_only_sddl(std::wstring& sddl);

// Owns the descriptor built from owner_only_sddl() and the
// SECURITY_ATTRIBUTES that point at it.
class OwnerOnlyAttributes {
 public:
  OwnerOnlyAttributes() = default;
  ~OwnerOnlyAttributes();
  OwnerOnlyAttributes(const OwnerOnlyAttributes&) = delete;
  OwnerOnlyAttributes& operator=(const OwnerOnlyAttributes&) = delete;

  bool build();
  // For CreateDirectoryW / CreateFileW; null until build() succeeded. The
  // handle it creates is not inherited by child processes.
  SECURITY_ATTRIBUTES* get() { return descriptor_ != nullptr ? &attributes_ : nullptr; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  SECURITY_ATTRIBUTES attributes_{};
};

}  // namespace vellicor
