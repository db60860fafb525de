// The program behind a company proxy that wants a Basic sign-in (tests/servers/proxy.js;
// each test runs in a copy of the prefix whose Internet Settings name it, see
// tests/support/in-proxy-prefix). The system's credential prompt is driven from outside
// like a user would: user name and password typed into its fields, OK or Cancel.
#include "support/dmprocess.h"
#include "support/downloadjob.h"
#include "support/guirelease.h"
#include "support/testenv.h"
#include "support/testservers.h"

#include "base/systemtexts.h"
#include "resource.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

using testing::HasSubstr;
using testsupport::DmProcess;
using testsupport::Get;
using testsupport::GuiRelease;
using testsupport::Narrow;

namespace {

const DWORD kWindowMs = 30000;
const DWORD kExitMs = 60000;

bool IsEditField(HWND window) {
  wchar_t cls[16] = {};
  GetClassNameW(window, cls, 16);
  return lstrcmpiW(cls, L"Edit") == 0;
}

bool IsPasswordField(HWND window) {
  return IsEditField(window) && (GetWindowLongW(window, GWL_STYLE) & ES_PASSWORD);
}

// The credential prompt: a visible dialog of the process, other than its window, with a
// password field.
HWND FindPrompt(const DmProcess& program) {
  return program.FindOwnWindow([&](HWND w) {
    bool password = false;
    if (w == program.Window() || !IsWindowVisible(w)) return false;
    EnumChildWindows(
        w,
        [](HWND child, LPARAM found) -> BOOL {
          *reinterpret_cast<bool*>(found) = IsPasswordField(child);
          return !IsPasswordField(child);
        },
        reinterpret_cast<LPARAM>(&password));
    return password;
  });
}

HWND WaitForPrompt(const DmProcess& program, DWORD timeoutMs) {
  HWND prompt = nullptr;
  testsupport::Eventually([&] { return (prompt = FindPrompt(program)) != nullptr; }, timeoutMs);
  return prompt;
}

// Types the user name into the first plain edit field and the password into the password
// field, then presses OK.
void SignIn(HWND prompt, const std::wstring& password) {
  for (HWND child = GetWindow(prompt, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (!IsEditField(child) || !IsWindowEnabled(child)) continue;
    const std::wstring text = IsPasswordField(child) ? password : Get(L"VELMOT_PROXY_USER");
    SendMessageW(child, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
  }
  PostMessageW(prompt, WM_COMMAND, IDOK, 0);
}

// CONNECTs to target that carried the right credentials, from the proxy's request log.
size_t SignedInConnects(const std::string& target) {
  const std::vector<uint8_t> bytes = testsupport::ReadFileBytes(Get(L"VELMOT_PROXY_LOG"));
  std::istringstream in(std::string(bytes.begin(), bytes.end()));
  size_t count = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    const nlohmann::json entry = nlohmann::json::parse(line);
    count += entry.value("target", "") == target && entry.value("auth", "") == "good";
  }
  return count;
}

std::string ServiceTarget() { return "localhost:" + Narrow(Get(L"VELMOT_SERVICE_PORT")); }
std::string HostTarget(const GuiRelease& release) { return Narrow(release.host.Host()) + ":443"; }

// Log uploads from the program that asked the service for this release (the same
// ComputerId).
size_t LogUploadsOf(const std::string& release) {
  std::string computerId;
  size_t count = 0;
  for (const auto& request : testsupport::ServiceRequests()) {
    const auto headers = request.value("headers", nlohmann::json::object());
    const std::string body = testsupport::Base64Decode(request.value("bodyBase64", ""));
    if (headers.value("method", "") == "RequestDownload" &&
        body.find("ReleaseName=" + release) != std::string::npos) {
      computerId = headers.value("computerid", "");
    }
    count += !computerId.empty() && headers.value("method", "") == "LogErrorInfo" &&
             headers.value("computerid", "") == computerId;
  }
  return count;
}

// Lets targets pass the proxy without a sign-in.
void LetThrough(const std::vector<std::string>& targets) {
  const std::string text = nlohmann::json{{"free", targets}}.dump();
  testsupport::WriteFileBytes(Get(L"VELMOT_PROXY_CONTROL"),
                              std::vector<uint8_t>(text.begin(), text.end()));
}

// Runs the program until it ends by itself, signing in at every prompt; the number of
// prompts that came.
int RunSigningIn(DmProcess& program, const std::wstring& password) {
  int prompts = 0;
  const ULONGLONG end = GetTickCount64() + 120000;
  while (program.WaitForExit(100) == STILL_ACTIVE && GetTickCount64() < end) {
    HWND prompt = FindPrompt(program);
    if (!prompt) continue;
    ++prompts;
    SignIn(prompt, password);
    testsupport::Eventually([&] { return !IsWindow(prompt); }, 10000);
  }
  return prompts;
}

// One sign-in with the right password; the program then ends by itself and starts setup.
void ExpectOneSignInThenSetup(DmProcess& program, const GuiRelease& release) {
  EXPECT_EQ(RunSigningIn(program, Get(L"VELMOT_PROXY_PASSWORD")), 1);
  EXPECT_EQ(program.WaitForExit(kExitMs), 0u);
  EXPECT_TRUE(release.SetupStarted(10000));
  EXPECT_GE(SignedInConnects(HostTarget(release)), 1u);
}

}  // namespace

TEST(DownloadDialogProxy, OneSignInServesTheServiceAndTheFileHost) {
  GuiRelease release(L"VelmotProxy");
  release.AddSetupAndData(3000000, 7);
  release.Publish();
  DmProcess program(release.DownloadFolder(), release.ExeName());
  ASSERT_TRUE(testsupport::StartedWithWindow(program, release));
  ExpectOneSignInThenSetup(program, release);
  EXPECT_GE(SignedInConnects(ServiceTarget()), 1u);
}

TEST(DownloadDialogProxy, TheLogUploadAfterASignInAsksNoSecondPrompt) {
  // The service refuses the release; the user reads the text and closes the window, and the
  // log upload uses the sign-in given for the request: no second prompt.
  GuiRelease release(L"VelmotProxyLog");
  release.PublishRefusal("Velmot test: no such release");
  DmProcess program(release.DownloadFolder(), release.ExeName());
  ASSERT_TRUE(testsupport::StartedWithWindow(program, release));
  HWND prompt = WaitForPrompt(program, kWindowMs);
  ASSERT_NE(prompt, nullptr);
  SignIn(prompt, Get(L"VELMOT_PROXY_PASSWORD"));
  program.WaitForTextWith(IDC_INFO, 30000, L"no such release");
  program.PostClose();
  EXPECT_EQ(RunSigningIn(program, L"not asked"), 0);
  EXPECT_EQ(program.WaitForExit(kExitMs), 0u);
  // Under Wine 8 a body sent with HttpSendRequestEx never passes an HTTPS proxy, signed in
  // or not (docs/proxy.md): what the upload may show here is that it asked nobody and that
  // its refusal was recorded as the proxy's.
  const std::string text = testsupport::TextLogIn(release.DownloadFolder());
  EXPECT_THAT(text, HasSubstr("ProxySignIn: the credential prompt answered 12032"));
  EXPECT_THAT(text, HasSubstr("Method: LogErrorInfo"));
  if (LogUploadsOf(Narrow(release.name)) == 0) {
    EXPECT_THAT(text, HasSubstr("FileUpload: the company proxy refused the request (HTTP 407)"));
  }
}

TEST(DownloadDialogProxy, TheFileHostsSignInIsAskedOnceForEveryPart) {
  // Only the file host is behind the sign-in: its workers ask, one prompt serves them all.
  LetThrough({ServiceTarget()});
  GuiRelease release(L"VelmotProxyHost");
  release.AddSetupAndData(9000000, 8);
  release.Publish();
  DmProcess program(release.DownloadFolder(), release.ExeName());
  ASSERT_TRUE(testsupport::StartedWithWindow(program, release));
  ExpectOneSignInThenSetup(program, release);
}

// Cancelling the prompt, or a password the proxy refuses, ends the request with the proxy's
// text; the program asks only once.
TEST(DownloadDialogProxy, ACancelledOrRefusedSignInSaysTheProxyRefused) {
  const std::wstring expected =
      std::wstring(velmot::texts::kRequestFailed) + velmot::texts::kProxyRefused;
  for (const bool cancel : {true, false}) {
    SCOPED_TRACE(cancel ? "cancelled" : "wrong password");
    GuiRelease release(cancel ? L"VelmotProxyCancel" : L"VelmotProxyWrong");
    release.AddSetupAndData(3000000, 7);
    release.Publish();
    DmProcess program(release.DownloadFolder(), release.ExeName());
    ASSERT_TRUE(testsupport::StartedWithWindow(program, release));
    HWND prompt = WaitForPrompt(program, kWindowMs);
    ASSERT_NE(prompt, nullptr);
    if (cancel) {
      PostMessageW(prompt, WM_COMMAND, IDCANCEL, 0);
    } else {
      SignIn(prompt, L"not the password");
    }
    EXPECT_EQ(program.WaitForTextEqual(IDC_INFO, 30000, expected), expected);
    EXPECT_EQ(FindPrompt(program), nullptr);
    EXPECT_EQ(program.CloseAndWait(kExitMs), 0u);
    // The log the upload could not deliver names the refusal with its status.
    EXPECT_THAT(testsupport::TextLogIn(release.DownloadFolder()),
                HasSubstr("the company proxy refused the request (407"));
  }
}

TEST(DownloadDialogProxy, ACancelledSignInAtTheFileHostEndsTheJobWithTheProxysText) {
  // The request went through; the user cancels the prompt the file host's proxy brings. The
  // run asks no more, so the job ends with the proxy's text instead of waiting on a network
  // that is fine, and no support page opens.
  LetThrough({ServiceTarget()});
  GuiRelease release(L"VelmotProxyHostCancel");
  release.AddSetupAndData(3000000, 7);
  release.Publish();
  DmProcess program(release.DownloadFolder(), release.ExeName());
  ASSERT_TRUE(testsupport::StartedWithWindow(program, release));
  HWND prompt = WaitForPrompt(program, kWindowMs);
  ASSERT_NE(prompt, nullptr);
  PostMessageW(prompt, WM_COMMAND, IDCANCEL, 0);
  EXPECT_EQ(program.MessageBoxText(L"Error", 30000), velmot::texts::kProxyRefused);
  EXPECT_EQ(program.CloseAndWait(kExitMs), 0u);
  EXPECT_EQ(FindPrompt(program), nullptr);
  EXPECT_TRUE(testsupport::BrowserLog(release.DownloadFolder()).empty());
}
