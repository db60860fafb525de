// An emulated internet link in front of the file host for a whole-program test: a relay of
// tests/servers/link.js with a round trip, a bottleneck shared by all its connections, slow
// start per connection and, when asked, a reset of every connection some seconds after it
// opened. It listens on port 443 of a free files-K address, which the test certificate
// names, so a release published with Host() as its host reaches the file host through it.
// The relay is a Unix program: Wine starts it but cannot wait for it, so the start polls
// for its ready file and the end asks it to stop (it also ends by itself after 15 minutes,
// should a test die first).
#pragma once

#include "support/testenv.h"

#include <cstdint>
#include <string>

namespace testsupport {

class LinkRelay {
 public:
  LinkRelay(unsigned rttMs, unsigned mbit, unsigned cutSeconds = 0);
  ~LinkRelay();
  LinkRelay(const LinkRelay&) = delete;
  LinkRelay& operator=(const LinkRelay&) = delete;

  bool Ready() const { return !host_.empty(); }
  std::wstring Host() const { return host_; }
  // From the relay's statistics: TCP connections accepted, and bytes sent to the clients.
  unsigned Accepted() const { return static_cast<unsigned>(Stat("accepted")); }
  uint64_t BytesToClients() const { return Stat("bytesToClients"); }

 private:
  uint64_t Stat(const char* name) const;

  TempFolder folder_{L"link"};
  std::wstring host_;
};

}  // namespace testsupport
