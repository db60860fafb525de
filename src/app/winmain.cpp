// The entry of velmot-dm.exe. The program takes no arguments; everything is in
// DlgApplication so that the tests can drive it.
#include "app/dlgapplication.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  DlgApplication application(instance);
  return application.Run();
}
