// How a download job rides out real networks and disks. The program runs with the defaults;
// tests shorten the waits or replace the system calls. Set before the job starts.
#pragma once

#include "download/fetch/filedownload.h"

#include <velmot/config.h>

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

struct DownloadSettings {
  // A pass in which the file host could not be reached at all waits networkFirstWaitMs,
  // doubling up to networkMaxWaitMs, and does not count toward the job's passes until the
  // outage has lasted outageBudgetMs.
  DWORD networkFirstWaitMs = 2000;
  DWORD networkMaxWaitMs = 60000;
  uint64_t outageBudgetMs = 10 * 60 * 1000;
  // Parts fetched side by side (1: one after another); halved, down to one, for the rest of
  // the job each time the host says it is busy. A part's connection that brings no byte
  // for stallMs has its attempt ended and resumed.
  unsigned partsInFlight = velmot::kPartsInFlight;
  DWORD stallMs = FileDownload::kStallMs;
  // Required signer of the setup executable; empty: the signature is only recorded.
  std::wstring setupPublisher = velmot::kSetupPublisher;
  // Free bytes for this user on the drive of a folder; default GetDiskFreeSpaceExW.
  std::function<bool(const std::wstring& folder, uint64_t& freeBytes)> freeSpaceQuery;
  // Starts setup with the shell and returns ShellExecuteW's result; default ShellExecuteW.
  std::function<intptr_t(const std::wstring& file, const std::wstring& folder)> shellStart;
};
