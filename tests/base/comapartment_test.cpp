// COM for the length of a shell call on threads that have none of their own (the manager's,
// the workers'): the scope gives a single-threaded apartment and takes it away again, and a
// thread that already has COM keeps what it had.
#include "base/comapartment.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

// The calling thread's apartment, or CO_E_NOTINITIALIZED as a negative value.
int Apartment() {
  APTTYPE type = APTTYPE_CURRENT;
  APTTYPEQUALIFIER qualifier = APTTYPEQUALIFIER_NONE;
  const HRESULT result = CoGetApartmentType(&type, &qualifier);
  return SUCCEEDED(result) ? static_cast<int>(type) : -1;
}

TEST(ComApartment, GivesAThreadWithoutComASingleThreadedApartmentForTheScopeOnly) {
  std::thread([] {
    EXPECT_EQ(Apartment(), -1);
    {
      velmot::ComApartment com;
      EXPECT_EQ(com.Result(), S_OK);
      // The first single-threaded apartment of a process is its main one.
      EXPECT_TRUE(Apartment() == APTTYPE_STA || Apartment() == APTTYPE_MAINSTA) << Apartment();
      velmot::ComApartment nested;
      EXPECT_EQ(nested.Result(), S_FALSE);
    }
    EXPECT_EQ(Apartment(), -1);
  }).join();
}

TEST(ComApartment, LeavesAThreadInTheMultithreadedApartmentWhereItWas) {
  std::thread([] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
    {
      velmot::ComApartment com;
      EXPECT_EQ(com.Result(), RPC_E_CHANGED_MODE);
      EXPECT_EQ(Apartment(), static_cast<int>(APTTYPE_MTA));
    }
    EXPECT_EQ(Apartment(), static_cast<int>(APTTYPE_MTA));
    CoUninitialize();
  }).join();
}

}  // namespace
