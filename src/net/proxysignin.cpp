#include "net/proxysignin.h"

#include "base/handles.h"
#include "diagnostics/error.h"

#include <atomic>
#include <memory>
#include <string>
#include <vector>

namespace {

// One prompt and the worker that waits for it. Shared: a worker that stops leaves, and the
// window answers into the question alone.
struct Question {
  HINTERNET request = nullptr;
  velmot::KernelHandle answered{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  std::atomic<bool> abandoned{false};
};

DWORD SystemPrompt(HWND owner, HINTERNET request) {
  return InternetErrorDlg(owner, request, ERROR_INTERNET_INCORRECT_PASSWORD,
                          FLAGS_ERROR_UI_FILTER_FOR_ERRORS | FLAGS_ERROR_UI_FLAGS_GENERATE_DATA |
                              FLAGS_ERROR_UI_FLAGS_CHANGE_OPTIONS,
                          nullptr);
}

struct SignIn {
  velmot::CriticalSection lock;
  HWND window = nullptr;
  UINT message = 0;
  ProxySignIn::Prompt prompt = SystemPrompt;
  std::wstring user;
  std::wstring password;
  uint64_t generation = 0;  // counts the sign-ins of the run
  bool declined = false;    // the user cancelled: no second prompt in this run
  std::shared_ptr<Question> pending;
};

SignIn& State() {
  static SignIn state;
  return state;
}

bool QueryString(HINTERNET handle, DWORD option, std::wstring& value) {
  DWORD bytes = 0;
  InternetQueryOptionW(handle, option, nullptr, &bytes);
  if (bytes == 0) return false;
  std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 1, L'\0');
  if (!InternetQueryOptionW(handle, option, buffer.data(), &bytes)) return false;
  value.assign(buffer.data());
  SecureZeroMemory(buffer.data(), buffer.size() * sizeof(wchar_t));
  return true;
}

void SetString(HINTERNET handle, DWORD option, const std::wstring& value, const char* failure) {
  if (!InternetSetOptionW(handle, option, const_cast<wchar_t*>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1))) {
    VELMOT_LOG_LAST_ERROR(std::string(failure));
  }
}

// What the prompt stored on the request, kept for the requests still to come: each opens
// its own handles, which know nothing of an earlier request's sign-in.
bool KeepCredentials(HINTERNET request) {
  std::wstring user;
  std::wstring password;
  if (!QueryString(request, INTERNET_OPTION_PROXY_USERNAME, user) || user.empty()) {
    VELMOT_LOG_LAST_ERROR(std::string("ProxySignIn: the prompt left no proxy user name"));
    return false;
  }
  QueryString(request, INTERNET_OPTION_PROXY_PASSWORD, password);
  SignIn& state = State();
  velmot::CriticalSectionLock hold(state.lock);
  state.user.swap(user);
  state.password.swap(password);
  SecureZeroMemory(&password[0], password.size() * sizeof(wchar_t));
  ++state.generation;
  return true;
}

}  // namespace

void ProxySignIn::SetWindow(HWND window, UINT message) {
  SignIn& state = State();
  velmot::CriticalSectionLock hold(state.lock);
  state.window = window;
  state.message = message;
}

void ProxySignIn::Withdraw(HWND window) {
  SignIn& state = State();
  velmot::CriticalSectionLock hold(state.lock);
  if (state.window == window) state.window = nullptr;
}

void ProxySignIn::Answer(LPARAM question) {
  std::unique_ptr<std::shared_ptr<Question>> held(
      reinterpret_cast<std::shared_ptr<Question>*>(question));
  if (!held || !*held) return;
  Question& asked = **held;
  SignIn& state = State();
  HWND owner = nullptr;
  Prompt prompt = nullptr;
  {
    velmot::CriticalSectionLock hold(state.lock);
    owner = state.window;
    prompt = state.prompt;
  }
  bool signedIn = false;
  if (owner && !asked.abandoned.load()) {
    const DWORD answer = prompt(owner, asked.request);
    Error::LogMessage("ProxySignIn: the credential prompt answered " + std::to_string(answer),
                      VELMOT_HERE);
    signedIn = answer == ERROR_INTERNET_FORCE_RETRY && KeepCredentials(asked.request);
    velmot::CriticalSectionLock hold(state.lock);
    state.declined = state.declined || !signedIn;
  }
  {
    velmot::CriticalSectionLock hold(state.lock);
    if (state.pending == *held) state.pending.reset();
  }
  SetEvent(asked.answered.Get());
}

uint64_t ProxySignIn::Apply(HINTERNET request) {
  SignIn& state = State();
  velmot::CriticalSectionLock hold(state.lock);
  if (!state.user.empty()) {
    SetString(request, INTERNET_OPTION_PROXY_USERNAME, state.user,
              "Setting INTERNET_OPTION_PROXY_USERNAME failed");
    SetString(request, INTERNET_OPTION_PROXY_PASSWORD, state.password,
              "Setting INTERNET_OPTION_PROXY_PASSWORD failed");
  }
  return state.generation;
}

ProxySignIn::Outcome ProxySignIn::Ask(HINTERNET request, HANDLE stopEvent, uint64_t applied) {
  SignIn& state = State();
  std::shared_ptr<Question> question;
  bool asking = false;
  {
    velmot::CriticalSectionLock hold(state.lock);
    if (state.generation != applied) return Outcome::kRetry;
    // The proxy refused what the user entered: asking again would loop on a wrong password.
    if (applied != 0 || state.declined || !state.window) return Outcome::kRefused;
    question = state.pending;
    // A worker that stopped left its question: the window shows nothing for it.
    if (question && question->abandoned) question.reset();
    if (!question) {
      question = std::make_shared<Question>();
      question->request = request;
      auto* posted = new std::shared_ptr<Question>(question);
      if (!question->answered ||
          !PostMessageW(state.window, state.message, 0, reinterpret_cast<LPARAM>(posted))) {
        delete posted;
        return Outcome::kRefused;
      }
      state.pending = question;
      asking = true;
    }
  }
  Error::LogMessage(asking ? "ProxySignIn: the proxy wants a sign-in; asking the user"
                           : "ProxySignIn: waiting for the sign-in another request asked for",
                    VELMOT_HERE);
  const HANDLE waits[] = {question->answered.Get(), stopEvent};
  const DWORD count = stopEvent ? 2 : 1;
  if (WaitForMultipleObjects(count, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
    // The request is about to close: the window must not show a prompt for it any more.
    if (asking) question->abandoned = true;
    return Outcome::kStopped;
  }
  velmot::CriticalSectionLock hold(state.lock);
  return state.generation != applied ? Outcome::kRetry : Outcome::kRefused;
}

void ProxySignIn::SetPromptForTesting(Prompt prompt) {
  SignIn& state = State();
  velmot::CriticalSectionLock hold(state.lock);
  state.prompt = prompt ? prompt : SystemPrompt;
}

void ProxySignIn::ForgetForTesting() {
  SignIn& state = State();
  velmot::CriticalSectionLock hold(state.lock);
  state.user.clear();
  state.password.clear();
  state.generation = 0;
  state.declined = false;
}
