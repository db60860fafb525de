// The sign-in at a company proxy, shared by every request of the process. When a proxy
// answers 407, the worker that got it asks the window to show the system's credential
// prompt (InternetErrorDlg) and waits for the answer or its own stop; what the user enters
// is kept here for the rest of the run and given to every request opened afterwards, so
// that one sign-in serves the web service, the file host and the log upload alike.
// Integrated sign-ins (NTLM, Negotiate) never get here: the stack answers those itself.
//
// Threads: the window's thread calls SetWindow and Answer; workers call Apply and Ask. A
// worker never blocks on the window without also waiting on its stop event, and the window
// never waits for a worker: a question whose worker has left is answered into nothing.
// One prompt at a time: workers that meet the proxy while it is open wait for its answer.
#pragma once

#include <windows.h>
#include <wininet.h>

#include <cstdint>

class ProxySignIn {
 public:
  enum class Outcome {
    kRetry,    // new credentials are on the request's side: send it again
    kRefused,  // the user cancelled, nobody can ask, or the proxy refused these credentials
    kStopped,  // the worker's stop event came first
  };
  // Shows the prompt for request, owned by owner, and returns what InternetErrorDlg
  // returned. The window's thread.
  using Prompt = DWORD (*)(HWND owner, HINTERNET request);

  // The window that shows the prompt and the message that asks it (lParam carries the
  // question for Answer). Until one is set, and after it withdrew, questions are refused.
  static void SetWindow(HWND window, UINT message);
  static void Withdraw(HWND window);
  // The window's thread, on that message: shows the prompt (unless the window withdrew or
  // the worker has left) and hands the answer to the waiting worker.
  static void Answer(LPARAM question);

  // Gives a newly opened request the credentials entered earlier in the run, and returns
  // the sign-in's generation that Ask compares with (0: nothing entered yet).
  static uint64_t Apply(HINTERNET request);
  // The proxy answered 407 to request, which went out with generation `applied`. kRetry
  // when the user entered credentials (now or since the request went out); kRefused when
  // the proxy already refused what the user entered, or the prompt was cancelled.
  static Outcome Ask(HINTERNET request, HANDLE stopEvent, uint64_t applied);

  // Replaces InternetErrorDlg (null restores it), and forgets what was entered (tests).
  static void SetPromptForTesting(Prompt prompt);
  static void ForgetForTesting();
};
