// An installer file while its parts arrive.
//
// It is written as "<name>.merging" beside the installer's name, made as long as the listed
// file from the start; every part, checked in memory, is written at its own offset as soon
// as it arrives, in whatever order the parts come. When the last part is in, only the flush
// and the rename remain: the file takes the installer's name only once it is whole and on
// disk. A kill or a power cut at any moment loses at most the parts in flight and never
// leaves a broken file under the installer's name: the next run checks every part's region
// of the file by CRC and fetches only the regions that fail. Part files an earlier version
// left in the work folder are written into their regions and then deleted. The disk holds
// the file itself and nothing more.
//
// Runs on the job's thread; the part workers write their regions through handles of their
// own. Failures are recorded here; Prepare says which of them the user must hear of.
#pragma once

#include "download/store/crcinforeader.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class MergingFile {
 public:
  // What the file asks of the job while it reads and writes.
  struct Hooks {
    std::function<bool()> stopped;                   // ends the check between two parts
    std::function<void(uint64_t bytes)> regionHeld;  // a part's region holds its bytes
    // Deletes a file of the job's own (an earlier run's part file), so that the folder's
    // watcher knows it was not someone else.
    std::function<bool(const std::wstring& path)> deleteOwn;
  };

  // kWriteFailed: the file could not be made, grown or written; the job cannot go on.
  enum class Outcome { kReady, kWriteFailed, kNotReady };

  // Where the file with this local name is written until it is whole.
  static std::wstring PathFor(const std::wstring& downloadFolder, const std::wstring& localName);

  MergingFile(const std::wstring& downloadFolder, const std::wstring& workFolder,
              const std::wstring& localName, const CRCInfoEntry& entry, Hooks hooks);

  // Opens (or makes) the file at the listed length and lists the parts whose regions it
  // does not hold rightly yet, after taking in part files of an earlier run.
  Outcome Prepare(std::vector<size_t>& missing);
  // Gives the whole file the installer's name; a file of the wrong length never gets it.
  bool Finish();

 private:
  bool TakePartFiles(HANDLE file, uint64_t fileSize, std::vector<size_t>& missing,
                     std::vector<uint8_t>& buffer, Outcome& outcome);
  std::wstring PartPath(size_t k) const;

  std::wstring downloadFolder_;
  std::wstring workFolder_;
  std::wstring localName_;
  std::wstring path_;
  const CRCInfoEntry& entry_;
  Hooks hooks_;
};
