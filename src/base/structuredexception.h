// Turns processor faults (access violations, integer division by zero, ...) on threads that
// ask for it into ordinary C++ exceptions, so that each thread body's catch for standard
// exceptions records them instead of the process dying.
//
// Translation is per thread: InstallStructuredExceptionTranslator() affects the calling
// thread only; a thread that never calls it keeps the default (the process ends).
//
// With MSVC this is the runtime's _set_se_translator (build with /EHa). With mingw-w64 g++
// the runtime's translator is never called, so a process-wide unhandled-exception filter
// redirects the faulting thread into a function that throws; that needs the code to be
// compiled with -fnon-call-exceptions (the build does) and does not cover stack overflows.
#pragma once

#include <windows.h>

#include <cstdint>
#include <stdexcept>

// What the translator throws: a standard exception whose what() is
// "Win32 Exception occurred. Code: 0x<code> at address 0x<low 32 bits of the address>".
class StructuredException : public std::runtime_error {
 public:
  StructuredException(const char* text, DWORD code, const void* address)
      : std::runtime_error(text), code_(code), address_(address) {}
  DWORD Code() const { return code_; }
  const void* Address() const { return address_; }

 private:
  DWORD code_;
  const void* address_;
};

// The translator: throws StructuredException for the record in pointers.
void TranslateStructuredException(unsigned int code, EXCEPTION_POINTERS* pointers);
// Installs the translator for the calling thread only. Thread bodies call it first.
void InstallStructuredExceptionTranslator();
