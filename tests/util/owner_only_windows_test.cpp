// The descriptor that makes keys\ and kyber.prv the user's alone. Wine keeps
// no access list on files (it reports one made from the Unix mode bits), so
// what is checked here is the descriptor this program builds and hands to the
// create calls, and that those calls take it; what Wine stores is not.
#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/temp_dir.hpp"
#include "util/owner_only_windows.hpp"

namespace vellicor {
namespace {

// The user's SID found another way than the code under test: by the account
// name, as text.
std::wstring sid_of_user_by_name() {
  wchar_t name[256];
  DWORD name_size = 256;
  if (!::GetUserNameW(name, &name_size)) return L"GetUserNameW failed";
  unsigned char sid[SECURITY_MAX_SID_SIZE];
  DWORD sid_size = sizeof sid;
  wchar_t domain[256];
  DWORD domain_size = 256;
  SID_NAME_USE use;
  if (!::LookupAccountNameW(nullptr, name, sid, &sid_size, domain, &domain_size, &use))
    return L"LookupAccountNameW failed";
  LPWSTR text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) return L"ConvertSidToStringSidW failed";
  std::wstring result(text);
  ::LocalFree(text);
  return result;
}

std::wstring sid_text(PSID sid) {
  LPWSTR text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) return L"?";
  std::wstring result(text);
  ::LocalFree(text);
  return result;
}

TEST(OwnerOnly, GrantsTheUserAndSystemOnlyAndInheritsNothing) {
  const std::wstring user = sid_of_user_by_name();
  ASSERT_EQ(user.rfind(L"S-1-", 0), 0u) << std::string(user.begin(), user.end());
  std::wstring sddl;
  ASSERT_TRUE(owner_only_sddl(sddl)) << ::GetLastError();
  EXPECT_EQ(sddl, L"D:P(A;OICI;FA;;;" + user + L")(A;OICI;FA;;;SY)");

  // The descriptor the create calls get: built from that text, not left out.
  OwnerOnlyAttributes attributes;
  EXPECT_EQ(attributes.get(), nullptr);
  ASSERT_TRUE(attributes.build()) << ::GetLastError();
  SECURITY_ATTRIBUTES* sa = attributes.get();
  ASSERT_NE(sa, nullptr);
  EXPECT_EQ(sa->nLength, sizeof(SECURITY_ATTRIBUTES));
  EXPECT_FALSE(sa->bInheritHandle);
  ASSERT_NE(sa->lpSecurityDescriptor, nullptr);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ASSERT_TRUE(::GetSecurityDescriptorControl(sa->lpSecurityDescriptor, &control, &revision));
  EXPECT_TRUE(control & SE_DACL_PROTECTED);
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  ASSERT_TRUE(::GetSecurityDescriptorDacl(sa->lpSecurityDescriptor, &present, &dacl, &defaulted));
  ASSERT_TRUE(present && dacl != nullptr);  // a null list would grant everyone everything
  ACL_SIZE_INFORMATION size{};
  ASSERT_TRUE(::GetAclInformation(dacl, &size, sizeof size, AclSizeInformation));
  ASSERT_EQ(size.AceCount, 2u);
  std::vector<std::wstring> granted;
  for (DWORD i = 0; i < size.AceCount; ++i) {
    void* ace = nullptr;
    ASSERT_TRUE(::GetAce(dacl, i, &ace));
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(allowed->Mask, static_cast<ACCESS_MASK>(FILE_ALL_ACCESS));
    granted.push_back(sid_text(&allowed->SidStart));
  }
  EXPECT_EQ(granted, (std::vector<std::wstring>{user, L"S-1-5-18"}));  // S-1-5-18: SYSTEM
}

TEST(OwnerOnly, TheFolderAndFileCreatedWithItAreTheProgramsToWriteAndRead) {
  test::TempDir dir;
  OwnerOnlyAttributes attributes;
  ASSERT_TRUE(attributes.build()) << ::GetLastError();
  const std::wstring keys = (dir / "keys").wstring();
  ASSERT_TRUE(::CreateDirectoryW(keys.c_str(), attributes.get())) << ::GetLastError();
  const std::wstring key = keys + L"\\kyber.prv";
  HANDLE h = ::CreateFileW(key.c_str(), GENERIC_READ | GENERIC_WRITE, 0, attributes.get(), CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE) << ::GetLastError();
  const char secret[] = "private key bytes";
  DWORD done = 0;
  EXPECT_TRUE(::WriteFile(h, secret, sizeof secret, &done, nullptr) && done == sizeof secret);
  ::CloseHandle(h);
  EXPECT_EQ(test::read_text(dir / "keys" / "kyber.prv"), std::string(secret, sizeof secret));
}

}  // namespace
}  // namespace vellicor
