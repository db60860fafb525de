// The priority class a setup started from the download window inherits: the scope raises a
// lowered process to normal for the start and puts the class back afterwards.
#include "download/setup/normalpriorityscope.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

DWORD OwnClass() { return GetPriorityClass(GetCurrentProcess()); }

class NormalPriorityScopeTest : public ::testing::Test {
 protected:
  void SetUp() override { original_ = OwnClass(); }
  void TearDown() override { SetPriorityClass(GetCurrentProcess(), original_); }

  // The class seen inside a scope entered at `start`, and the class after it.
  std::pair<DWORD, DWORD> Through(DWORD start) {
    EXPECT_TRUE(SetPriorityClass(GetCurrentProcess(), start));
    DWORD inside = 0;
    {
      NormalPriorityScope scope;
      inside = OwnClass();
    }
    return {inside, OwnClass()};
  }

 private:
  DWORD original_ = NORMAL_PRIORITY_CLASS;
};

}  // namespace

TEST_F(NormalPriorityScopeTest, BackgroundClassesAreRaisedForTheScopeAndRestored) {
  EXPECT_EQ(Through(BELOW_NORMAL_PRIORITY_CLASS),
            std::make_pair(DWORD{NORMAL_PRIORITY_CLASS}, DWORD{BELOW_NORMAL_PRIORITY_CLASS}));
  EXPECT_EQ(Through(IDLE_PRIORITY_CLASS),
            std::make_pair(DWORD{NORMAL_PRIORITY_CLASS}, DWORD{IDLE_PRIORITY_CLASS}));
}

TEST_F(NormalPriorityScopeTest, NormalAndHigherClassesAreLeftAlone) {
  EXPECT_EQ(Through(NORMAL_PRIORITY_CLASS),
            std::make_pair(DWORD{NORMAL_PRIORITY_CLASS}, DWORD{NORMAL_PRIORITY_CLASS}));
  EXPECT_EQ(Through(ABOVE_NORMAL_PRIORITY_CLASS),
            std::make_pair(DWORD{ABOVE_NORMAL_PRIORITY_CLASS}, DWORD{ABOVE_NORMAL_PRIORITY_CLASS}));
}
