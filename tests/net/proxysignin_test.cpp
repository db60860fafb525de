// The proxy sign-in between workers and the window, with the system prompt replaced by a
// stand-in that answers as a user would (the whole-program tests use the real prompt).
#include "net/proxysignin.h"

#include "base/handles.h"
#include "support/testenv.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>

namespace {

constexpr UINT kAskMessage = WM_APP + 6;
std::atomic<int> gPrompts{0};
std::atomic<DWORD> gAnswer{ERROR_INTERNET_FORCE_RETRY};

// Stores credentials on the request as the system prompt does after OK.
DWORD StandInPrompt(HWND, HINTERNET request) {
  ++gPrompts;
  if (gAnswer == ERROR_INTERNET_FORCE_RETRY) {
    InternetSetOptionW(request, INTERNET_OPTION_PROXY_USERNAME, const_cast<wchar_t*>(L"ann"), 4);
    InternetSetOptionW(request, INTERNET_OPTION_PROXY_PASSWORD, const_cast<wchar_t*>(L"pw 1"), 5);
  }
  return gAnswer;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kAskMessage) {
    ProxySignIn::Answer(lParam);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

// A request handle that never goes out (WinINet connects lazily).
struct Request {
  velmot::InternetHandle root{InternetOpenW(L"t", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0)};
  velmot::InternetHandle connection{InternetConnectW(root.Get(), L"localhost", 443, nullptr,
                                                     nullptr, INTERNET_SERVICE_HTTP, 0, 0)};
  velmot::InternetHandle request{
      HttpOpenRequestW(connection.Get(), L"GET", L"/", nullptr, nullptr, nullptr, 0, 0)};
};

std::wstring Option(HINTERNET handle, DWORD option) {
  wchar_t text[64] = {};
  DWORD bytes = sizeof(text);
  if (!InternetQueryOptionW(handle, option, text, &bytes))
    return L"<" + std::to_wstring(GetLastError()) + L">";
  return text;
}

class ProxySignInTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WNDCLASSW type = {};
    type.lpfnWndProc = WindowProc;
    type.hInstance = GetModuleHandleW(nullptr);
    type.lpszClassName = L"ProxySignInTest";
    RegisterClassW(&type);
    window_ = CreateWindowW(L"ProxySignInTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                            type.hInstance, nullptr);
    ProxySignIn::ForgetForTesting();
    ProxySignIn::SetPromptForTesting(StandInPrompt);
    ProxySignIn::SetWindow(window_, kAskMessage);
    gPrompts = 0;
    gAnswer = ERROR_INTERNET_FORCE_RETRY;
  }
  void TearDown() override {
    ProxySignIn::Withdraw(window_);
    ProxySignIn::SetPromptForTesting(nullptr);
    DestroyWindow(window_);
  }
  // Asks on a worker thread; the outcome is ready once the ask has ended.
  std::future<ProxySignIn::Outcome> AskOnAWorker(const Request& asking, uint64_t applied = 0) {
    return std::async(std::launch::async, [&asking, this, applied] {
      return ProxySignIn::Ask(asking.request.Get(), stop_.Get(), applied);
    });
  }
  // Answers on this thread, the window's, until every ask has its outcome, at most 20 s; when
  // that runs out the test fails and the stop ends the asks (a future waits for its ask).
  void AnswerAll(std::initializer_list<std::future<ProxySignIn::Outcome>*> asks) {
    const auto answered = [&] {
      Pump();
      for (auto* ask : asks)
        if (ask->wait_for(std::chrono::seconds(0)) != std::future_status::ready) return false;
      return true;
    };
    if (testsupport::Eventually(answered, 20000)) return;
    ADD_FAILURE() << "an ask was never answered";
    SetEvent(stop_.Get());
  }
  // Asks on a worker thread while this thread answers.
  ProxySignIn::Outcome AskAnswered(uint64_t applied) {
    Request asking;
    auto outcome = AskOnAWorker(asking, applied);
    AnswerAll({&outcome});
    return outcome.get();
  }
  void Pump() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
  }
  HWND window_ = nullptr;
  velmot::KernelHandle stop_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

}  // namespace

TEST_F(ProxySignInTest, OneSignInServesEveryLaterRequestAndIsNeverAskedTwice) {
  EXPECT_EQ(AskAnswered(0), ProxySignIn::Outcome::kRetry);
  EXPECT_EQ(gPrompts, 1);
  Request later;
  EXPECT_EQ(ProxySignIn::Apply(later.request.Get()), 1u);
  EXPECT_EQ(Option(later.request.Get(), INTERNET_OPTION_PROXY_USERNAME), L"ann");
  EXPECT_EQ(Option(later.request.Get(), INTERNET_OPTION_PROXY_PASSWORD), L"pw 1");
  // A request that went out before the sign-in just tries again; one that carried it and
  // was refused again is refused, without a second prompt.
  EXPECT_EQ(AskAnswered(0), ProxySignIn::Outcome::kRetry);
  EXPECT_EQ(AskAnswered(1), ProxySignIn::Outcome::kRefused);
  EXPECT_EQ(gPrompts, 1);
}

TEST_F(ProxySignInTest, ACancelledPromptRefusesThisAndEveryLaterAsk) {
  gAnswer = ERROR_CANCELLED;
  EXPECT_EQ(AskAnswered(0), ProxySignIn::Outcome::kRefused);
  EXPECT_EQ(AskAnswered(0), ProxySignIn::Outcome::kRefused);
  EXPECT_EQ(gPrompts, 1);
  Request later;
  EXPECT_EQ(ProxySignIn::Apply(later.request.Get()), 0u);
}

TEST_F(ProxySignInTest, WorkersThatMeetTheProxyTogetherShareOnePrompt) {
  Request first, second;
  auto a = AskOnAWorker(first);
  auto b = AskOnAWorker(second);
  // Both are waiting before the window answers.
  Sleep(200);
  AnswerAll({&a, &b});
  EXPECT_EQ(a.get(), ProxySignIn::Outcome::kRetry);
  EXPECT_EQ(b.get(), ProxySignIn::Outcome::kRetry);
  EXPECT_EQ(gPrompts, 1);
}

TEST_F(ProxySignInTest, AStopEndsTheWaitAndTheWindowThenShowsNoPrompt) {
  Request asking;
  auto outcome = AskOnAWorker(asking);
  // The window is busy (nothing pumped): only the stop can end the wait.
  Sleep(100);
  SetEvent(stop_.Get());
  ASSERT_EQ(outcome.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(outcome.get(), ProxySignIn::Outcome::kStopped);
  Pump();
  EXPECT_EQ(gPrompts, 0);
}

TEST_F(ProxySignInTest, WithoutAWindowNothingIsAsked) {
  ProxySignIn::Withdraw(window_);
  EXPECT_EQ(AskAnswered(0), ProxySignIn::Outcome::kRefused);
  EXPECT_EQ(gPrompts, 0);
}
