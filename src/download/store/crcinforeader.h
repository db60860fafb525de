// Reading the CRC info document: splitting it into entries, reading an entry's lines, and
// the name rules for the files it lists. Pure: no I/O, no state; any thread. The document
// comes from the network, so every name is checked with IsSafeFileName before anything
// touches the disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One installer file of the CRC info document: line 0 the listed name, line 1 the size,
// lines 2.. the signed decimal CRC-32 of part 0, 1, ...
using CRCInfoEntry = std::vector<std::wstring>;
using CRCInfo = std::vector<CRCInfoEntry>;

class CRCInfoReader {
 public:
  static constexpr uint32_t kPartSize = 10000000;  // ten million bytes, not 10 MiB

  // Splits the document at ";" (what comes before the first one is no entry) and each
  // piece into lines; trailing empty lines go, and a piece of nothing but line breaks
  // names no file. Zero bytes have been removed by the caller.
  static void Parse(const std::string& text, CRCInfo& entries);

  // True for a plain file name that stays inside the folder it is joined to: no path
  // separator, drive, "..", reserved device name (CON, NUL, COM1, ...), trailing dot or
  // blank, or character Windows forbids.
  static bool IsSafeFileName(const std::wstring& name);
  // Line 1 of an entry (automatic base, 64-bit; negative reads as 0) and a CRC line
  // (signed 32-bit decimal, clamped).
  static uint64_t ParseSizeLine(const std::wstring& line);
  static int32_t ParseCrcLine(const std::wstring& line);
  // Line 1 read strictly: a whole non-negative number (automatic base, surrounding blanks
  // allowed) that fits 64 bits. False for anything else.
  static bool ReadSizeLine(const std::wstring& line, uint64_t& size);
  // The number of parts (and so of CRC lines) a file of fileSize bytes has.
  static size_t PartCount(uint64_t fileSize);
  // True when the entry's size line reads and it has exactly PartCount(size) CRC lines.
  // Only such an entry can describe a whole file: any other is a broken document.
  static bool IsConsistent(const CRCInfoEntry& entry, uint64_t& size);

  // The name a listed file gets on disk: the product suffix goes before ".exe", else seven
  // characters before the end, else (names shorter than seven) at the end.
  static std::wstring LocalName(const std::wstring& listed, const std::wstring& suffix);
  // The length of part k of a file of fileSize bytes.
  static uint64_t PartBytes(uint64_t fileSize, size_t k);
  // The folder on the file host that holds a release's CRC info document and parts: the
  // download subdirectory the web service named, in lower case (ASCII letters only). A
  // document name holding "2_5" is of the old layout, which keeps both at the host's root
  // (an empty folder). Idempotent: the result given again comes back unchanged.
  static std::wstring ObjectFolder(const std::wstring& listFileName, const std::wstring& subdir);
  // The remote object of part k: "/<folder>/<k>_<listed name>".
  static std::wstring PartObject(const std::wstring& folder, size_t k, const std::wstring& listed);
};
