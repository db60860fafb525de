#include "ui/tips.h"

#include <gtest/gtest.h>

TEST(Tips, FiveTipsInOrderNamingTheFaqAndForum) {
  Tips tips(L"https://faq.example/x", L"https://forum.example/y");
  ASSERT_EQ(tips.All().size(), 5u);
  EXPECT_EQ(tips.All()[0],
            L"The setup starts automatically after downloading. You can always start it manually "
            L"by executing the setup executable file.");
  EXPECT_EQ(tips.All()[1],
            L"You can quit the download manager at any moment. It will resume the download next "
            L"time it starts.");
  EXPECT_EQ(tips.All()[2],
            L"You may install Velmot on multiple computers. Keep your setup files so you don't "
            L"need to download them again.");
  EXPECT_NE(tips.All()[3].find(L"https://faq.example/x"), std::wstring::npos);
  EXPECT_NE(tips.All()[3].find(L"hardware"), std::wstring::npos);
  EXPECT_NE(tips.All()[4].find(L"https://forum.example/y"), std::wstring::npos);
}

TEST(Tips, EveryFifthUpdateShowsTheNextTipAndWraps) {
  Tips tips(L"f", L"g");
  std::vector<std::wstring> shown;
  for (int call = 1; call <= 30; ++call) {
    std::wstring tip;
    const bool due = tips.OnStatisticsUpdate(tip);
    EXPECT_EQ(due, call % 5 == 0) << call;
    if (due) shown.push_back(tip);
  }
  ASSERT_EQ(shown.size(), 6u);
  for (size_t i = 0; i < 5; ++i) EXPECT_EQ(shown[i], tips.All()[i]);
  EXPECT_EQ(shown[5], tips.All()[0]);
  EXPECT_EQ(tips.Calls(), 30u);
}
