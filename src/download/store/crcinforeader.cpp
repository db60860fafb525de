#include "download/store/crcinforeader.h"

#include "base/stringutils.h"

#include <algorithm>
#include <cerrno>
#include <cwchar>
#include <limits>

namespace {

// Longer names would push the part files past the classic path limit.
const size_t kMaxFileNameLength = 200;

bool IsReservedDeviceName(const std::wstring& name) {
  std::wstring base = StringUtils::ToUpperAscii(name.substr(0, name.find(L'.')));
  while (!base.empty() && base.back() == L' ') base.pop_back();
  if (base == L"CON" || base == L"PRN" || base == L"AUX" || base == L"NUL" || base == L"CONIN$" ||
      base == L"CONOUT$") {
    return true;
  }
  if (base.size() == 4 && (base.compare(0, 3, L"COM") == 0 || base.compare(0, 3, L"LPT") == 0)) {
    wchar_t d = base[3];
    return (d >= L'0' && d <= L'9') || d == L'\u00B9' || d == L'\u00B2' || d == L'\u00B3';
  }
  return false;
}

}  // namespace

void CRCInfoReader::Parse(const std::string& text, CRCInfo& entries) {
  entries.clear();
  std::vector<std::wstring> pieces;
  StringUtils::Split(StringUtils::ToWide(text), L";", true, pieces);
  for (size_t i = 1; i < pieces.size(); ++i) {
    CRCInfoEntry lines;
    StringUtils::Split(pieces[i], L"\r\n", true, lines);
    while (!lines.empty() && lines.back().empty()) lines.pop_back();
    if (std::none_of(lines.begin(), lines.end(),
                     [](const std::wstring& l) { return !l.empty(); })) {
      continue;
    }
    entries.push_back(std::move(lines));
  }
}

bool CRCInfoReader::IsSafeFileName(const std::wstring& name) {
  if (name.empty() || name.size() > kMaxFileNameLength) return false;
  for (wchar_t c : name) {
    if (c < 0x20 || std::wcschr(L"<>:\"/\\|?*", c) != nullptr) return false;
  }
  if (name.find(L"..") != std::wstring::npos) return false;
  if (name.back() == L'.' || name.back() == L' ') return false;
  return !IsReservedDeviceName(name);
}

uint64_t CRCInfoReader::ParseSizeLine(const std::wstring& line) {
  size_t start = line.find_first_not_of(L" \t");
  if (start == std::wstring::npos || line[start] == L'-') return 0;
  return std::wcstoull(line.c_str() + start, nullptr, 0);
}

int32_t CRCInfoReader::ParseCrcLine(const std::wstring& line) {
  long long value = std::wcstoll(line.c_str(), nullptr, 10);
  if (value > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
  if (value < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(value);
}

bool CRCInfoReader::ReadSizeLine(const std::wstring& line, uint64_t& size) {
  const size_t start = line.find_first_not_of(L" \t");
  if (start == std::wstring::npos || line[start] < L'0' || line[start] > L'9') return false;
  wchar_t* end = nullptr;
  errno = 0;
  const unsigned long long value = std::wcstoull(line.c_str() + start, &end, 0);
  if (errno == ERANGE || end == line.c_str() + start) return false;
  for (const wchar_t* rest = end; *rest != L'\0'; ++rest) {
    if (*rest != L' ' && *rest != L'\t') return false;
  }
  size = value;
  return true;
}

size_t CRCInfoReader::PartCount(uint64_t fileSize) {
  return static_cast<size_t>(fileSize / kPartSize + (fileSize % kPartSize != 0 ? 1 : 0));
}

bool CRCInfoReader::IsConsistent(const CRCInfoEntry& entry, uint64_t& size) {
  if (entry.size() < 2 || !ReadSizeLine(entry[1], size)) return false;
  return entry.size() - 2 == PartCount(size);
}

std::wstring CRCInfoReader::LocalName(const std::wstring& listed, const std::wstring& suffix) {
  std::wstring local = listed;
  if (listed.find(L".exe") != std::wstring::npos) {
    local.insert(local.size() - 4, suffix);
  } else if (listed.size() >= 7) {
    local.insert(local.size() - 7, suffix);
  } else {
    local += suffix;
  }
  return local;
}

uint64_t CRCInfoReader::PartBytes(uint64_t fileSize, size_t k) {
  const uint64_t offset = static_cast<uint64_t>(k) * kPartSize;
  return fileSize > offset && fileSize - offset < kPartSize ? fileSize - offset : kPartSize;
}

std::wstring CRCInfoReader::ObjectFolder(const std::wstring& listFileName,
                                         const std::wstring& subdir) {
  if (listFileName.find(L"2_5") != std::wstring::npos) return std::wstring();
  return StringUtils::ToLowerAscii(subdir);
}

std::wstring CRCInfoReader::PartObject(const std::wstring& folder, size_t k,
                                       const std::wstring& listed) {
  return L"/" + folder + L"/" + std::to_wstring(k) + L"_" + listed;
}
