#include "ui/dialogscale.h"

#include "resource.h"
#include "ui/statisticstext.h"

#include <algorithm>
#include <string>

// The text fonts and the pause button's images for a display of this many pixels per inch:
// at start, and again when the window moves to a monitor with another scale (the dialog
// scales its template's own font and layout itself, not fonts and images set from here).
void DialogScale::Apply(HWND window, HINSTANCE instance, int pixelsPerInch, bool paused) {
  const int height = -MulDiv(10, pixelsPerInch, 72);
  font_.Reset(CreateFontW(height, 0, 0, 0, 0, FALSE, FALSE, FALSE, 0, 0, 0, 0, 0, L"Arial"));
  tipFont_.Reset(CreateFontW(height, 0, 0, 0, 0, FALSE, FALSE, FALSE, 0, 0, 0, 0, 0, L"Arial"));
  for (int id : {IDC_INFO, IDC_LABELS, IDC_VALUES, IDC_PROGRESS}) {
    SendDlgItemMessageW(window, id, WM_SETFONT, reinterpret_cast<WPARAM>(font_.Get()), TRUE);
  }
  SendDlgItemMessageW(window, IDC_TIP, WM_SETFONT, reinterpret_cast<WPARAM>(tipFont_.Get()), TRUE);

  ScaleLogo(window, instance, pixelsPerInch);
  KeepValuesBesideLabels(window);

  // 25 pixels at 96 DPI; the button grows with the dialog's units, so the image does too.
  const int side = MulDiv(25, pixelsPerInch, 96);
  pauseBitmap_.Reset(
      LoadImageW(instance, MAKEINTRESOURCEW(IDB_PAUSE), IMAGE_BITMAP, side, side, 0));
  resumeBitmap_.Reset(
      LoadImageW(instance, MAKEINTRESOURCEW(IDB_PLAY), IMAGE_BITMAP, side, side, 0));
  SendDlgItemMessageW(window, IDC_PAUSE, BM_SETIMAGE, IMAGE_BITMAP,
                      reinterpret_cast<LPARAM>(PauseImage(paused)));
}

// The logo is drawn for 96 DPI; on a larger scale it is stretched with halftoning so that
// it keeps its place in the layout instead of shrinking into a corner of it.
void DialogScale::ScaleLogo(HWND window, HINSTANCE instance, int pixelsPerInch) {
  if (pixelsPerInch == 96 && logoBitmap_.Get() == nullptr) return;  // the template's own
  HBITMAP source = static_cast<HBITMAP>(
      LoadImageW(instance, MAKEINTRESOURCEW(IDB_LOGO), IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  if (source == nullptr) return;
  BITMAP size{};
  GetObjectW(source, sizeof(size), &size);
  const int width = MulDiv(size.bmWidth, pixelsPerInch, 96);
  const int height = MulDiv(size.bmHeight, pixelsPerInch, 96);
  HDC screen = GetDC(nullptr);
  HDC from = CreateCompatibleDC(screen);
  HDC to = CreateCompatibleDC(screen);
  HBITMAP scaled = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ oldFrom = SelectObject(from, source);
  HGDIOBJ oldTo = SelectObject(to, scaled);
  SetStretchBltMode(to, HALFTONE);
  SetBrushOrgEx(to, 0, 0, nullptr);
  StretchBlt(to, 0, 0, width, height, from, 0, 0, size.bmWidth, size.bmHeight, SRCCOPY);
  SelectObject(from, oldFrom);
  SelectObject(to, oldTo);
  DeleteDC(from);
  DeleteDC(to);
  ReleaseDC(nullptr, screen);
  DeleteObject(source);
  SendDlgItemMessageW(window, IDC_LOGO, STM_SETIMAGE, IMAGE_BITMAP,
                      reinterpret_cast<LPARAM>(scaled));
  logoBitmap_.Reset(scaled);  // the image of an earlier scale is no longer shown
}

// The label column is sized in dialog units for the template's font, the texts are drawn in
// our own font: on some scales a label grows into the values' column. The values then move
// right by what is missing, so that a label never touches its value.
void DialogScale::KeepValuesBesideLabels(HWND window) {
  HWND labels = GetDlgItem(window, IDC_LABELS);
  HWND values = GetDlgItem(window, IDC_VALUES);
  HDC dc = GetDC(labels);
  HGDIOBJ old = SelectObject(dc, font_.Get());
  int widest = 0;
  const std::wstring texts = StatisticsText::kLabels;
  for (size_t at = 0, end; (end = texts.find(L"\r\n", at)) != std::wstring::npos; at = end + 2) {
    SIZE extent{};
    GetTextExtentPoint32W(dc, texts.c_str() + at, static_cast<int>(end - at), &extent);
    widest = std::max<int>(widest, extent.cx);
  }
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc, &metrics);
  SelectObject(dc, old);
  ReleaseDC(labels, dc);

  RECT labelRect{}, valueRect{};
  GetWindowRect(labels, &labelRect);
  GetWindowRect(values, &valueRect);
  MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&labelRect), 2);
  MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&valueRect), 2);
  const int needed = labelRect.left + widest + metrics.tmAveCharWidth;
  if (needed <= valueRect.left) return;
  SetWindowPos(values, nullptr, needed, valueRect.top, valueRect.right - needed,
               valueRect.bottom - valueRect.top, SWP_NOZORDER | SWP_NOACTIVATE);
}

HBITMAP DialogScale::PauseImage(bool isPaused) const {
  return static_cast<HBITMAP>(isPaused ? resumeBitmap_.Get() : pauseBitmap_.Get());
}

// A dialog has no icon of its own: without these the caption and the taskbar button would
// show the system's blank program icon. Shared icons are owned by the module.
void DialogScale::SetWindowIcons(HWND window, HINSTANCE instance) {
  const int big = GetSystemMetrics(SM_CXICON);
  const int small = GetSystemMetrics(SM_CXSMICON);
  HANDLE bigIcon =
      LoadImageW(instance, MAKEINTRESOURCEW(IDI_VELMOT), IMAGE_ICON, big, big, LR_SHARED);
  HANDLE smallIcon =
      LoadImageW(instance, MAKEINTRESOURCEW(IDI_VELMOT), IMAGE_ICON, small, small, LR_SHARED);
  SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon));
  SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon));
}
