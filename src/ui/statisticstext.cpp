#include "ui/statisticstext.h"

#include <algorithm>
#include <climits>
#include <cwchar>

const wchar_t StatisticsText::kLabels[] =
    L"Total size:\r\nDownloaded:\r\nSpeed:\r\nCompleted:\r\nTime left:\r\n";

int32_t StatisticsText::DownloadPercent(uint64_t totalBytes, uint64_t finishedBytes,
                                        uint64_t inProgressBytes) {
  const uint64_t totalK = totalBytes / 1000;
  if (totalK == 0) return 0;
  const double percent = 100.0 *
                         static_cast<double>(finishedBytes / 1000 + inProgressBytes / 1000) /
                         static_cast<double>(totalK);
  // Part files are counted at the full part size, so a file whose last part is short can
  // count for more than its size: the display never goes past 100.
  return static_cast<int32_t>(std::min(percent, 100.0));
}

uint32_t StatisticsText::VerifyPercent(uint64_t totalBytes, uint64_t verifiedBytes) {
  const uint64_t totalK = totalBytes / 1000;
  if (totalK == 0) return 0;
  const double percent =
      100.0 * static_cast<double>(verifiedBytes / 1000) / static_cast<double>(totalK);
  return static_cast<uint32_t>(std::min(percent, 100.0));
}

std::wstring StatisticsText::TimeLeft(uint64_t total, uint64_t downloaded, uint64_t speedKBps) {
  const uint64_t remainingK = downloaded >= total ? 0 : (total - downloaded) / 1024;
  const uint64_t seconds = speedKBps == 0 ? 0 : remainingK / speedKBps;
  // Hours are capped so that an absurd estimate cannot turn negative in the 32-bit format.
  const uint64_t hours = std::min<uint64_t>(seconds / 3600, INT_MAX);
  wchar_t buffer[255];
  std::swprintf(buffer, 255, L"%d h : %d m : %d s", static_cast<int>(hours),
                static_cast<int>((seconds % 3600) / 60), static_cast<int>(seconds % 60));
  return buffer;
}

StatisticsView StatisticsText::Compose(const StatisticsInput& in) {
  StatisticsView view;
  view.labels = kLabels;
  if (in.networkRetrySeconds != 0) {
    view.phase = StatisticsPhase::kWaitingForNetwork;
    view.labels = in.signInPage
                      ? L"The network answered with a sign-in page instead of the download. "
                        L"Open your web browser and sign in to the network; the download then "
                        L"goes on by itself.\r\n"
                      : L"The network is unavailable. The download goes on by itself when it "
                        L"is back.\r\n";
    view.labels += L"Next try in " + std::to_wstring(in.networkRetrySeconds) + L" s.";
    view.labelsVisibility = Visibility::kShow;
    view.valuesVisibility = Visibility::kHide;
    view.progress = DownloadPercent(in.totalBytes, in.finishedBytes, in.inProgressBytes);
    return view;
  }
  if (in.verifying) {
    const uint32_t percent = VerifyPercent(in.totalBytes, in.verifiedBytes);
    view.phase = StatisticsPhase::kVerifying;
    view.labels = L"Verifying setup files " + std::to_wstring(percent) + L"% completed";
    view.labelsVisibility = Visibility::kShow;
    view.valuesVisibility = Visibility::kHide;
    view.pauseVisibility = Visibility::kHide;
    view.progress = static_cast<int32_t>(percent);
    return view;
  }
  if (in.copying) {
    view.phase = StatisticsPhase::kCopying;
    view.progress = static_cast<int32_t>(std::min<uint32_t>(in.copyPercent, 100));
    view.labels = L"Copying downloaded files, please wait...\r\n" +
                  std::to_wstring(in.copyPercent) + L"% completed";
    view.valuesVisibility = Visibility::kHide;
    view.pauseVisibility = Visibility::kHide;
    return view;
  }
  const int32_t percent = DownloadPercent(in.totalBytes, in.finishedBytes, in.inProgressBytes);
  if (percent == 100) {
    view.phase = StatisticsPhase::kProcessing;
    view.progress = 100;
    view.labels = L"Processing downloaded files, please wait...\r\n";
    view.labelsVisibility = Visibility::kShow;
    view.valuesVisibility = Visibility::kHide;
    view.pauseVisibility = Visibility::kHide;
    return view;
  }
  view.phase = StatisticsPhase::kDownloading;
  view.pauseVisibility = Visibility::kShow;
  view.valuesVisibility = Visibility::kShow;
  const int32_t shown = std::max(percent, 0);
  view.progress = shown;
  view.values = std::to_wstring(in.total / 1024) + L" kB\r\n" +
                std::to_wstring(in.downloaded / 1024) + L" kB\r\n" + std::to_wstring(in.speedKBps) +
                L" kB/s\r\n" + std::to_wstring(shown) + L" %";
  if (in.speedKBps != 0) view.values += L"\r\n" + TimeLeft(in.total, in.downloaded, in.speedKBps);
  return view;
}
