#include "util/owner_only_windows.hpp"

#include <sddl.h>

#include <vector>

namespace vellicor {

namespace {

// Gives back `result` with the first failure's code still in GetLastError(),
// whatever the clean-up calls after it did to it.
bool keep_error(bool result, DWORD error) {
  if (!result) ::SetLastError(error);
  return result;
}

}  // namespace

bool process_user(std::vector<unsigned char>& buffer) {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  buffer.assign(size != 0 ? size : sizeof(TOKEN_USER), 0);
  const bool ok = ::GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size);
  const DWORD error = ::GetLastError();
  ::CloseHandle(token);
  return keep_error(ok, error);
}

bool owner_only_sddl(std::wstring& sddl) {
  std::vector<unsigned char> user;
  LPWSTR sid = nullptr;
  if (!process_user(user) || !::ConvertSidToStringSidW(user_sid(user), &sid)) return false;
  sddl = L"D:P(A;OICI;FA;;;" + std::wstring(sid) + L")(A;OICI;FA;;;SY)";
  ::LocalFree(sid);
  return true;
}

OwnerOnlyAttributes::~OwnerOnlyAttributes() {
  if (descriptor_ != nullptr) ::LocalFree(descriptor_);
}

bool OwnerOnlyAttributes::build() {
  if (descriptor_ != nullptr) return true;
  std::wstring sddl;
  if (!owner_only_sddl(sddl)) return false;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor_, nullptr)) {
    descriptor_ = nullptr;
    return false;
  }
  attributes_.nLength = sizeof attributes_;
  attributes_.lpSecurityDescriptor = descriptor_;
  attributes_.bInheritHandle = FALSE;
  return true;
}

}  // namespace vellicor
