// The one owner template: closing keeps the caller's last error, Put fills an
// out-parameter, moves hand the handle on and it is closed exactly once.
#include "base/handles.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

bool IsOpen(HANDLE h) {
  DWORD flags = 0;
  return GetHandleInformation(h, &flags) != FALSE;
}

TEST(UniqueHandle, ResetKeepsTheCallersLastError) {
  velmot::KernelHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(event);
  SetLastError(ERROR_FILE_NOT_FOUND);
  event.Reset();
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_FALSE(event);
}

TEST(UniqueHandle, AFailedOpenKeepsItsErrorThroughTheOwner) {
  velmot::FileHandle file(CreateFileW(L"C:/no/such/folder/file.bin", GENERIC_READ, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
  const DWORD error = GetLastError();
  EXPECT_FALSE(file);
  EXPECT_EQ(file.Get(), INVALID_HANDLE_VALUE);
  file.Reset();
  EXPECT_EQ(GetLastError(), error);
}

TEST(UniqueHandle, PutClosesWhatIsHeldAndFillsTheSlot) {
  velmot::RegistryKey key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, key.Put()), ERROR_SUCCESS);
  EXPECT_TRUE(key);
  HKEY first = key.Get();
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, key.Put()), ERROR_SUCCESS);
  EXPECT_TRUE(key);
  // The first key was closed before the slot was handed out again.
  DWORD values = 0;
  if (first != key.Get()) {
    EXPECT_NE(RegQueryInfoKeyW(first, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
  }
}

TEST(UniqueHandle, AMoveHandsTheHandleOnAndItIsClosedOnce) {
  HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(raw, nullptr);
  {
    velmot::KernelHandle a(raw);
    velmot::KernelHandle b(std::move(a));
    EXPECT_FALSE(a);
    EXPECT_EQ(b.Get(), raw);
    velmot::KernelHandle c;
    c = std::move(b);
    EXPECT_EQ(c.Get(), raw);
    EXPECT_TRUE(IsOpen(raw));
  }
  EXPECT_FALSE(IsOpen(raw));
}

TEST(UniqueHandle, CryptContextAndHashAreOwnedLikeEveryOtherKind) {
  velmot::CryptContext context;
  ASSERT_TRUE(
      CryptAcquireContextW(context.Put(), nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
  velmot::CryptHash hash;
  ASSERT_TRUE(CryptCreateHash(context.Get(), CALG_SHA1, 0, 0, hash.Put()));
  const BYTE data[] = {'a', 'b', 'c'};
  ASSERT_TRUE(CryptHashData(hash.Get(), data, sizeof(data), 0));
  BYTE value[20] = {};
  DWORD length = sizeof(value);
  ASSERT_TRUE(CryptGetHashParam(hash.Get(), HP_HASHVAL, value, &length, 0));
  EXPECT_EQ(value[0], 0xa9);  // SHA-1("abc") = a9993e36...
  EXPECT_EQ(value[1], 0x99);
}

}  // namespace
