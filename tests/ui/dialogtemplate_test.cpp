// The window's resources as the program carries them: the dialog template (style, size,
// caption, font, every control's class, style, text and place) and the bitmaps.
#include "support/inprocesswindow.h"

#include "resource.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <cwctype>
#include <string>
#include <vector>

namespace {

// Reads a dialog template (DLGTEMPLATEEX) as it is stored in the program.
struct TemplateReader {
  const uint8_t* at;
  uint16_t Word() {
    uint16_t v;
    memcpy(&v, at, 2);
    at += 2;
    return v;
  }
  uint32_t Dword() {
    uint32_t v;
    memcpy(&v, at, 4);
    at += 4;
    return v;
  }
  int16_t Short() { return static_cast<int16_t>(Word()); }
  std::wstring SzOrOrd() {
    uint16_t first = Word();
    if (first == 0) return L"";
    if (first == 0xFFFF) return L"#" + std::to_wstring(Word());
    std::wstring s(1, static_cast<wchar_t>(first));
    for (uint16_t c = Word(); c != 0; c = Word()) s += static_cast<wchar_t>(c);
    return s;
  }
  void Align(const uint8_t* base) {
    while ((at - base) % 4) ++at;
  }
};

struct Item {
  uint32_t style;
  std::vector<int> place;  // x, y, cx, cy
  uint32_t id;
  std::wstring cls, text;
};

std::wstring ClassName(const std::wstring& cls) {
  if (cls == L"#128") return L"button";
  if (cls == L"#130") return L"static";
  std::wstring lower;
  for (wchar_t c : cls) lower += static_cast<wchar_t>(towlower(c));
  return lower;
}

// The header of the template; returns the number of items.
uint16_t ExpectTemplateHeader(TemplateReader& r) {
  EXPECT_EQ(r.Word(), 1);       // dlgVer
  EXPECT_EQ(r.Word(), 0xFFFF);  // signature of DLGTEMPLATEEX
  r.Dword();                    // help id
  r.Dword();                    // extended style
  const uint32_t style = r.Dword();
  // A minimize box: a download that runs for an hour belongs on the taskbar, not in the way.
  EXPECT_EQ(style,
            static_cast<uint32_t>(WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_SETFONT |
                                  DS_MODALFRAME | DS_SETFOREGROUND | DS_CENTER));
  const uint16_t count = r.Word();
  const std::vector<int16_t> place{r.Short(), r.Short(), r.Short(), r.Short()};  // x, y, cx, cy
  EXPECT_EQ(place, (std::vector<int16_t>{0, 0, 401, 236}));
  EXPECT_EQ(r.SzOrOrd(), L"");  // menu
  EXPECT_EQ(r.SzOrOrd(), L"");  // class
  EXPECT_EQ(r.SzOrOrd(), L"Velmot download manager");
  EXPECT_EQ(r.Word(), 8);  // points
  r.Word();                // weight
  r.Word();                // italic, charset
  EXPECT_EQ(r.SzOrOrd(), L"MS Sans Serif");
  return count;
}

std::vector<Item> ReadItems(TemplateReader& r, const uint8_t* base, int count) {
  std::vector<Item> items;
  for (int i = 0; i < count; ++i) {
    r.Align(base);
    Item item;
    r.Dword();  // help id
    r.Dword();  // extended style
    item.style = r.Dword();
    item.place = {r.Short(), r.Short(), r.Short(), r.Short()};
    item.id = r.Dword();
    item.cls = ClassName(r.SzOrOrd());
    item.text = r.SzOrOrd();
    r.at += r.Word();  // creation data
    items.push_back(item);
  }
  return items;
}

void ExpectBitmaps(HMODULE program) {
  const struct {
    int id;
    LONG width, height;
  } bitmaps[] = {{IDB_LOGO, 179, 228}, {IDB_PAUSE, 256, 256}, {IDB_PLAY, 256, 256}};
  for (const auto& bitmap : bitmaps) {
    SCOPED_TRACE(bitmap.id);
    HRSRC res = FindResourceW(program, MAKEINTRESOURCEW(bitmap.id), RT_BITMAP);
    ASSERT_NE(res, nullptr);
    BITMAPINFOHEADER header;
    memcpy(&header, LockResource(LoadResource(program, res)), sizeof(header));
    EXPECT_EQ(header.biWidth, bitmap.width);
    EXPECT_EQ(header.biHeight, bitmap.height);
    EXPECT_EQ(header.biBitCount, 8);  // palette bitmaps keep the shipped exe small
    EXPECT_EQ(header.biCompression, static_cast<DWORD>(BI_RGB));
  }
}

using DownloadDialog = testsupport::InProcessWindowTest;

}  // namespace

TEST_F(DownloadDialog, TemplateAndBitmapsMatchTheLayout) {
  HMODULE program = resources.module;
  HRSRC found = FindResourceW(program, MAKEINTRESOURCEW(IDD_DOWNLOAD), RT_DIALOG);
  ASSERT_NE(found, nullptr);
  const auto* base = static_cast<const uint8_t*>(LockResource(LoadResource(program, found)));
  TemplateReader r{base};
  const uint16_t count = ExpectTemplateHeader(r);
  ASSERT_EQ(count, 7);
  const std::vector<Item> items = ReadItems(r, base, count);
  const DWORD base_ = WS_CHILD | WS_VISIBLE;
  // Texts that show paths, the service's words or tips keep an "&" as it is.
  const DWORD text_ = base_ | SS_LEFT | SS_NOPREFIX | WS_GROUP;
  struct Expected {
    uint32_t id;
    const wchar_t* cls;
    uint32_t style;
    const wchar_t* text;
    std::vector<int> place;
  };
  const Expected expected[] = {
      {1002, L"msctls_progress32", base_ | WS_BORDER, L"", {180, 90, 176, 15}},
      {1008, L"static", text_, L"Downloading Velmot Installer. Please wait.", {180, 18, 202, 66}},
      {1005, L"static", text_, L"", {233, 113, 144, 52}},
      {1007, L"static", base_ | SS_BITMAP, L"#103", {17, 15, 119, 151}},
      {1006,
       L"static",
       text_,
       L"Total size:\r\nDownloaded:\r\nSpeed:\r\nCompleted:\r\nTime left:\r\n",
       {180, 113, 177, 51}},
      {1014,
       L"button",
       base_ | BS_PUSHBUTTON | BS_BITMAP | WS_TABSTOP,
       L"Button1",
       {364, 89, 16, 16}},
      {1015, L"static", text_, L"Text", {20, 177, 362, 45}},
  };
  for (int i = 0; i < 7; ++i) {
    SCOPED_TRACE(expected[i].id);
    EXPECT_EQ(items[i].id, expected[i].id);
    EXPECT_EQ(items[i].cls, expected[i].cls);
    EXPECT_EQ(items[i].style, expected[i].style);
    EXPECT_EQ(items[i].text, expected[i].text);
    EXPECT_EQ(items[i].place, expected[i].place);
  }

  ExpectBitmaps(program);
}

// The bitmaps as the window loads them (the button's images at 25 x 25, the logo at its own
// size), probed where the drawing is the mark's blue or the white around it: a palette the
// loader misread would show here, not in the headers.
TEST_F(DownloadDialog, BitmapsLoadWithTheirColours) {
  HMODULE program = resources.module;
  const COLORREF blue = RGB(0x1f, 0x4e, 0x8c), white = RGB(255, 255, 255);
  const struct {
    int id, side;
    UINT flags;
    int x, y;
    COLORREF colour;
  } probes[] = {
      {IDB_PAUSE, 25, 0, 8, 12, blue},
      {IDB_PAUSE, 25, 0, 12, 12, white},
      {IDB_PAUSE, 25, 0, 1, 1, white},
      {IDB_PLAY, 25, 0, 10, 12, blue},
      {IDB_PLAY, 25, 0, 22, 2, white},
      {IDB_LOGO, 0, LR_CREATEDIBSECTION, 89, 94, blue},
      {IDB_LOGO, 0, LR_CREATEDIBSECTION, 40, 100, white},
  };
  HDC dc = CreateCompatibleDC(nullptr);
  for (const auto& probe : probes) {
    SCOPED_TRACE(std::to_string(probe.id) + " at " + std::to_string(probe.x) + "," +
                 std::to_string(probe.y));
    HANDLE image = LoadImageW(program, MAKEINTRESOURCEW(probe.id), IMAGE_BITMAP, probe.side,
                              probe.side, probe.flags);
    ASSERT_NE(image, nullptr);
    HGDIOBJ old = SelectObject(dc, image);
    const COLORREF found = GetPixel(dc, probe.x, probe.y);
    SelectObject(dc, old);
    DeleteObject(image);
    EXPECT_NEAR(GetRValue(found), GetRValue(probe.colour), 8);
    EXPECT_NEAR(GetGValue(found), GetGValue(probe.colour), 8);
    EXPECT_NEAR(GetBValue(found), GetBValue(probe.colour), 8);
  }
  DeleteDC(dc);
}
