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

  // A scope entered at class start must run at class inside and leave start behind.
  void ExpectThrough(DWORD start, DWORD inside) {
    EXPECT_TRUE(SetPriorityClass(GetCurrentProcess(), start));
    {
      NormalPriorityScope scope;
      EXPECT_EQ(OwnClass(), inside) << start;
    }
    EXPECT_EQ(OwnClass(), start);
  }

 private:
  DWORD original_ = NORMAL_PRIORITY_CLASS;
};

}  // namespace

TEST_F(NormalPriorityScopeTest, BackgroundClassesAreRaisedForTheScopeAndRestored) {
  ExpectThrough(BELOW_NORMAL_PRIORITY_CLASS, NORMAL_PRIORITY_CLASS);
  ExpectThrough(IDLE_PRIORITY_CLASS, NORMAL_PRIORITY_CLASS);
}

TEST_F(NormalPriorityScopeTest, NormalAndHigherClassesAreLeftAlone) {
  ExpectThrough(NORMAL_PRIORITY_CLASS, NORMAL_PRIORITY_CLASS);
  ExpectThrough(ABOVE_NORMAL_PRIORITY_CLASS, ABOVE_NORMAL_PRIORITY_CLASS);
}
