// The download window's fonts, images and value column for one display scale, and its icons.
// The dialog scales its template's own font and layout itself, not fonts and images set from
// here, so these follow the scale: at start and on every move to a monitor with another one.
// Owns every GDI object it creates (each replaced one is deleted). UI thread only.
#pragma once

#include "base/handles.h"

#include <windows.h>

class DialogScale {
 public:
  // Fonts, logo, pause button images and the value column for pixelsPerInch; paused picks
  // the button's image.
  void Apply(HWND window, HINSTANCE instance, int pixelsPerInch, bool paused);
  // The pause button's image for the state (the resume image while paused).
  HBITMAP PauseImage(bool paused) const;
  // Big and small icons of the caption and the taskbar button (shared, owned by the module).
  static void SetWindowIcons(HWND window, HINSTANCE instance);

 private:
  void ScaleLogo(HWND window, HINSTANCE instance, int pixelsPerInch);
  void KeepValuesBesideLabels(HWND window);

  velmot::GdiObject font_;
  velmot::GdiObject tipFont_;
  velmot::GdiObject pauseBitmap_;  // the button's images, sized for the display
  velmot::GdiObject resumeBitmap_;
  velmot::GdiObject logoBitmap_;  // the logo at the display's scale
};
