// One running copy per release: the guard's name and who counts as first.
#include "ui/singleinstance.h"

#include <gtest/gtest.h>

#include <string>

TEST(SingleInstance, NameIsPerReleaseWithoutRegardToCase) {
  EXPECT_EQ(SingleInstance::MutexName(L"Velmot Pro"), SingleInstance::MutexName(L"velmot PRO"));
  EXPECT_NE(SingleInstance::MutexName(L"Velmot Pro"), SingleInstance::MutexName(L"Velmot Pro 2"));
  EXPECT_EQ(SingleInstance::MutexName(L"Velmot").rfind(L"Local\\", 0), 0u);
  // One object name in the session's namespace, whatever the release name holds.
  const std::wstring odd = SingleInstance::MutexName(L"a\\b");
  EXPECT_EQ(odd.find(L'\\', 6), std::wstring::npos);
}

TEST(SingleInstance, LongNamesStayWithinTheObjectNameLimitAndApart) {
  const std::wstring a(300, L'a');
  const std::wstring b = std::wstring(299, L'a') + L"b";
  EXPECT_LT(SingleInstance::MutexName(a).size(), static_cast<size_t>(MAX_PATH));
  EXPECT_NE(SingleInstance::MutexName(a), SingleInstance::MutexName(b));
}

TEST(SingleInstance, SecondHolderOfTheSameReleaseIsNotFirstUntilTheFirstEnds) {
  const std::wstring release = L"Velmot Guard " + std::to_wstring(GetCurrentProcessId());
  {
    SingleInstance first(release);
    EXPECT_TRUE(first.IsFirst());
    SingleInstance second(L"VELMOT GUARD " + std::to_wstring(GetCurrentProcessId()));
    EXPECT_FALSE(second.IsFirst());
    SingleInstance other(release + L" other");
    EXPECT_TRUE(other.IsFirst());
  }
  SingleInstance again(release);
  EXPECT_TRUE(again.IsFirst());
  EXPECT_TRUE(SingleInstance(L"").IsFirst());  // no release, no guard
}
