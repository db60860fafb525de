// The setup signature check: the decision on a stand-in trust call, WinVerifyTrust on
// signed, unsigned, foreign and tampered copies of the fake setup (signed at build time by
// tests/support/make-signed-setups), and the manager's setup start with a required publisher.
#include "download/setup/setupsignature.h"

#include "base/handles.h"
#include "diagnostics/error.h"
#include "download/job/downloadmanager.h"
#include "support/managerjob.h"
#include "support/records.h"
#include "support/testenv.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <wintrust.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace testsupport;

const wchar_t kPublisher[] = L"Velmot Test Publisher";

// The fixtures beside this test program.
std::wstring SigningFolder() { return TestProgramFolder() + L"/signing"; }

// The test root becomes trusted in this Wine prefix's LocalMachine Root store only, by the
// same trustca.exe that tests/servers/start uses for the TLS test CA.
class TrustTestRoot : public testing::Environment {
 public:
  void SetUp() override {
    std::wstring command =
        L"\"" + TestProgramFolder() + L"/trustca.exe\" \"" + SigningFolder() + L"/ca.der\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                               &startup, &process));
    const velmot::KernelHandle thread(process.hThread), owner(process.hProcess);
    ASSERT_EQ(WaitForSingleObject(process.hProcess, 60000), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    ASSERT_EQ(code, 0u) << "trustca.exe could not trust signing/ca.der";
  }
};
const testing::Environment* const kTrustTestRoot =
    testing::AddGlobalTestEnvironment(new TrustTestRoot);

// A check on a stand-in trust call that answers `answer` and counts its calls.
struct Decision {
  TempFolder folder{L"sig"};
  std::wstring path = folder.File(DownloadJob::LocalName("Setup.exe"));
  SetupTrust answer;
  int calls = 0;

  explicit Decision(LONG result = 0, const wchar_t* signer = L"") {
    answer.result = result;
    answer.signer = signer;
    Error::Clear();
    WriteFileBytes(path, std::vector<uint8_t>{'M', 'Z'});
  }
  bool Run(const std::wstring& publisher, std::wstring& text) {
    SetupSignature signature(publisher, [this](const std::wstring& p, HANDLE) {
      EXPECT_EQ(p, path);
      ++calls;
      return answer;
    });
    return signature.Allows(path, text);
  }
};

std::wstring Refusal(const std::wstring& path) {
  return std::wstring(
             L"The downloaded installer could not be verified as coming from Velmot, so it "
             L"was not started.\r\n\r\nThe file was kept for our support team to examine:\r\n") +
         path + L"\r\n\r\nPlease contact the Velmot Support Center.";
}

// Without a publisher every setup starts and the finding is a note; a required publisher
// starts only a holding signature by exactly that name, and a refusal keeps the file.
TEST(SetupSignature, TheDecisionFollowsTheSignatureAndTheRequiredPublisher) {
  const char kNoteHolds[] = "Setup signature holds (no publisher required)";
  const char kNoteFails[] = "Setup signature does not hold (no publisher required)";
  const char kHolds[] = "Setup signature holds";
  const char kUnsigned[] = "Setup not started: it is not signed";
  const char kBroken[] = "Setup not started: its signature does not hold";
  const char kOther[] = "Setup not started: its signer is not \"Velmot Test Publisher\"";
  const struct {
    const wchar_t* publisher;
    LONG result;  // the trust call's answer
    const wchar_t* signer;
    const char* head;        // the record up to "; signed by"
    const char* resultText;  // the result as the record names it
  } cases[] = {
      {L"", 0, kPublisher, kNoteHolds, "0x00000000"},
      {L"", TRUST_E_NOSIGNATURE, L"", kNoteFails, "0x800B0100 TRUST_E_NOSIGNATURE"},
      {L"", CERT_E_UNTRUSTEDROOT, L"Someone", kNoteFails, "0x800B0109 CERT_E_UNTRUSTEDROOT"},
      {L"", 0x12345678, L"X", kNoteFails, "0x12345678"},
      {kPublisher, 0, kPublisher, kHolds, "0x00000000"},
      {kPublisher, TRUST_E_NOSIGNATURE, L"", kUnsigned, "0x800B0100 TRUST_E_NOSIGNATURE"},
      // The right name on a signature that does not hold: a self-made certificate or a file
      // changed after signing.
      {kPublisher, CERT_E_UNTRUSTEDROOT, kPublisher, kBroken, "0x800B0109 CERT_E_UNTRUSTEDROOT"},
      {kPublisher, TRUST_E_BAD_DIGEST, kPublisher, kBroken, "0x80096010 TRUST_E_BAD_DIGEST"},
      {kPublisher, CRYPT_E_REVOKED, kPublisher, kBroken, "0x80092010 CRYPT_E_REVOKED"},
      {kPublisher, 0, L"Other Test Publisher", kOther, "0x00000000"},
      {kPublisher, 0, L"velmot test publisher", kOther, "0x00000000"},
      {kPublisher, 0, L"Velmot Test Publisher Ltd", kOther, "0x00000000"},
      {kPublisher, 0, L"", kOther, "0x00000000"},
  };
  for (const auto& c : cases) {
    Decision d(c.result, c.signer);
    const std::string by = *c.signer ? "\"" + Narrow(c.signer) + "\"" : std::string("nobody");
    const std::string record = std::string(c.head) + "; signed by " + by +
                               ", WinVerifyTrust result " + c.resultText + ": " + Narrow(d.path);
    SCOPED_TRACE(record);
    const bool allowed = !*c.publisher || std::string(c.head) == kHolds;
    std::wstring text = L"stale";
    EXPECT_EQ(d.Run(c.publisher, text), allowed);
    EXPECT_EQ(d.calls, 1);
    ASSERT_EQ(Error::GetRecords().size(), 1u);
    EXPECT_EQ(Error::GetRecords()[0].message, record);
    EXPECT_EQ(text, allowed ? L"" : Refusal(d.path));
    EXPECT_EQ(static_cast<uint32_t>(Error::GetRecords()[0].errorNumber),
              allowed ? 0u : DL_MANAGER_SETUP_NOT_TRUSTED);
    if (allowed) {
      EXPECT_FALSE(Error::HasErrors());
    } else {
      EXPECT_TRUE(FileExists(d.path));
    }
  }
}

TEST(SetupSignature, ARevocationCheckThatCouldNotRunIsNotedAndDoesNotRefuse) {
  Decision d(0, kPublisher);
  d.answer.revocationResult = static_cast<LONG>(CRYPT_E_REVOCATION_OFFLINE);
  std::wstring text;
  EXPECT_TRUE(d.Run(kPublisher, text));
  ASSERT_EQ(Error::GetRecords().size(), 2u);
  EXPECT_EQ(Error::GetRecords()[0].message,
            "The revocation of the setup's signing certificates could not be checked (0x80092013 "
            "CRYPT_E_REVOCATION_OFFLINE); checked without it: " +
                Narrow(d.path));
  EXPECT_FALSE(Error::HasErrors());
}

// WinVerifyTrust with revocation may wait on the network as long as the system likes; a
// close must not: a stop given while the trust call hangs ends the check at once, and the
// call, left to finish by itself, touches nothing of the caller's.
TEST(SetupSignature, AStopDuringAHangingTrustCallEndsTheCheckAtOnce) {
  Decision d;
  struct Hang {
    velmot::KernelHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    velmot::KernelHandle entered{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  };
  auto hang = std::make_shared<Hang>();
  std::atomic<bool> stop{false};
  ULONGLONG took = 0;
  {
    SetupSignature signature(kPublisher, [hang](const std::wstring&, HANDLE) {
      SetEvent(hang->entered.Get());
      WaitForSingleObject(hang->release.Get(), 8000);
      return SetupTrust{};
    });
    signature.wait = [&](DWORD ms) {
      Sleep(ms);
      return !stop.load();
    };
    std::thread stopper([&] {
      WaitForSingleObject(hang->entered.Get(), 10000);
      stop = true;
    });
    std::wstring text;
    took = MsTaken([&] { EXPECT_FALSE(signature.Allows(d.path, text)); });
    stopper.join();
    EXPECT_TRUE(text.empty()) << "nobody reads a refusal after a stop";
  }
  EXPECT_LT(took, 2000u);
  EXPECT_FALSE(Error::HasErrors());
  SetEvent(hang->release.Get());
}

TEST(SetupSignature, TheCheckedFileCannotBeChangedOrRemovedUntilTheCheckGoes) {
  const Decision d;  // only its file
  const std::wstring& path = d.path;
  DWORD writeError = 0;
  {
    SetupSignature signature(L"", [&](const std::wstring&, HANDLE file) {
      EXPECT_NE(file, INVALID_HANDLE_VALUE);
      HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
      writeError = GetLastError();
      if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
      return SetupTrust{};
    });
    std::wstring text;
    EXPECT_TRUE(signature.Allows(path, text));
    EXPECT_EQ(writeError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(DeleteFileW(path.c_str()));
    // Reading it, as the shell does to start it, stays possible.
    HANDLE reader = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                0, nullptr);
    EXPECT_NE(reader, INVALID_HANDLE_VALUE);
    if (reader != INVALID_HANDLE_VALUE) CloseHandle(reader);
  }
  EXPECT_TRUE(DeleteFileW(path.c_str()));
}

// WinVerifyTrust itself, on the fixtures.
TEST(SetupSignature, WinVerifyTrustTellsSignersAndFailuresApart) {
  struct Fixture {
    const wchar_t* name;
    const wchar_t* result;
    const wchar_t* signer;  // nullptr: not checked
  };
  const Fixture fixtures[] = {
      {L"setup-signed.exe", L"0x00000000", kPublisher},
      {L"setup-other.exe", L"0x00000000", L"Other Test Publisher"},
      {L"setup-unsigned.exe", L"0x800B0100 TRUST_E_NOSIGNATURE", L""},
      {L"setup-selfsigned.exe", L"0x800B0109 CERT_E_UNTRUSTEDROOT", kPublisher},
      {L"setup-unknownca.exe", L"0x800B010A CERT_E_CHAINING", kPublisher},
      {L"setup-tampered.exe", L"0x80096010 TRUST_E_BAD_DIGEST", nullptr},
  };
  for (const Fixture& f : fixtures) {
    SCOPED_TRACE(Narrow(f.name));
    const std::wstring path = SigningFolder() + L"/" + f.name;
    EXPECT_TRUE(FileExists(path)) << Narrow(path);
    const SetupTrust trust = SetupSignature::Query(path, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SetupSignature::ResultText(trust.result), f.result);
    if (f.signer) {
      EXPECT_EQ(trust.signer, f.signer);
    }
  }
}

// The manager's setup start with a required publisher, on copies of the fixtures in a
// download folder.
struct SetupStart : ManagerJob {
  explicit SetupStart(const wchar_t* fixture) {
    CreateDirectoryW(manager.workFolder.c_str(), nullptr);
    manager.setupPath = LocalPath("Setup.exe");
    manager.settings.setupPublisher = kPublisher;
    WriteFileBytes(manager.setupPath, ReadFileBytes(SigningFolder() + L"/" + fixture));
  }
};

TEST(SetupSignature, TheManagerStartsASetupSignedByThePublisher) {
  SetupStart start(L"setup-signed.exe");
  start.manager.StartSetup();
  EXPECT_TRUE(start.job.SetupStarted(30000));
  EXPECT_TRUE(start.listener.Errors().empty());
  EXPECT_FALSE(FileExists(start.manager.workFolder));
  EXPECT_FALSE(Error::HasErrors());
}

TEST(SetupSignature, TheManagerKeepsUnsignedAndForeignSetupsWithTheirWorkFolder) {
  for (const wchar_t* fixture : {L"setup-unsigned.exe", L"setup-other.exe", L"setup-selfsigned.exe",
                                 L"setup-unknownca.exe", L"setup-tampered.exe"}) {
    SetupStart start(fixture);
    const std::vector<uint8_t> before = ReadFileBytes(start.manager.setupPath);
    start.manager.StartSetup();
    ASSERT_EQ(start.listener.Errors().size(), 1u) << Narrow(fixture);
    EXPECT_EQ(start.listener.Errors()[0], Refusal(start.manager.setupPath));
    EXPECT_EQ(ReadFileBytes(start.manager.setupPath), before);
    // The work folder stays, so that the log upload at close finds it and posts the log.
    EXPECT_TRUE(FileExists(start.manager.workFolder));
    EXPECT_EQ(CountRecords(DL_MANAGER_SETUP_NOT_TRUSTED), 1u);
    // A start would have written the marker within a second (see the test above).
    EXPECT_FALSE(start.job.SetupStarted(1500)) << Narrow(fixture);
  }
}

}  // namespace
