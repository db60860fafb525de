#include "base/stringutils.h"

#include <windows.h>

#include <climits>
#include <cstddef>

namespace {

// Text up to its first zero code unit: the system conversions stop there as well.
template <typename Char>
size_t LengthToZero(const std::basic_string<Char>& text) {
  const size_t zero = text.find(Char(0));
  return zero == std::basic_string<Char>::npos ? text.size() : zero;
}

// The runtime's single-byte lower-case mapping in the default locale changes A-Z only.
template <typename Char>
Char FoldAscii(Char c) {
  return (c >= Char('A') && c <= Char('Z')) ? Char(c - Char('A') + Char('a')) : c;
}

template <typename Char>
Char UpperAscii(Char c) {
  return (c >= Char('a') && c <= Char('z')) ? Char(c - Char('a') + Char('A')) : c;
}

template <typename Char>
Char Identity(Char c) {
  return c;
}

// Replaces occurrences of search with one streaming scan. The text is read into `out`
// while a KMP automaton tracks how much of the search text ends `out`; a match is cut
// from `out`.
//
// rescan == true gives "replace the first occurrence until none is left": the
// replacement is pushed back in front of the unread text, so an occurrence formed
// together with the text before it is found again, exactly as a restart from the
// beginning would find it (the text before a first occurrence holds none). This is
// only used when the replacement is shorter than the search text, so every replacement
// shortens the text and the loop ends.
//
// rescan == false is one left-to-right pass that never looks at inserted text.
template <typename Char, typename Fold>
void ReplaceScan(std::basic_string<Char>& text, const std::basic_string<Char>& search,
                 const std::basic_string<Char>& replacement, bool rescan, Fold fold) {
  using Str = std::basic_string<Char>;
  const size_t m = search.size();
  Str pattern(search);
  for (auto& c : pattern) c = fold(c);

  std::vector<size_t> failure(m, 0);
  for (size_t i = 1, k = 0; i < m; ++i) {
    while (k > 0 && pattern[i] != pattern[k]) k = failure[k - 1];
    if (pattern[i] == pattern[k]) ++k;
    failure[i] = k;
  }

  Str out;
  out.reserve(text.size());
  std::vector<size_t> states;  // automaton state after each code unit of out
  states.reserve(text.size());
  Str pending;  // code units to read before the rest of text, in reverse order
  size_t next = 0;
  while (!pending.empty() || next < text.size()) {
    Char c;
    if (!pending.empty()) {
      c = pending.back();
      pending.pop_back();
    } else {
      c = text[next++];
    }
    size_t k = states.empty() ? 0 : states.back();
    const Char folded = fold(c);
    while (k > 0 && folded != pattern[k]) k = failure[k - 1];
    if (folded == pattern[k]) ++k;
    out.push_back(c);
    states.push_back(k);
    if (k < m) continue;

    out.resize(out.size() - m);
    states.resize(states.size() - m);
    if (rescan) {
      pending.append(replacement.rbegin(), replacement.rend());
    } else {
      out += replacement;
      states.resize(states.size() + replacement.size(), 0);
    }
  }
  text.swap(out);
}

template <typename Char, typename Fold>
std::basic_string<Char>& ReplaceAllWith(std::basic_string<Char>& text,
                                        const std::basic_string<Char>& search,
                                        const std::basic_string<Char>& replacement, Fold fold) {
  if (search.empty() || text.size() < search.size()) return text;
  // Callers shrink the text ("//" -> "/", a name -> ""); a replacement at least as long
  // as the search text could grow it without end when rescanned, so it gets one pass.
  const bool rescan = replacement.size() < search.size();
  ReplaceScan(text, search, replacement, rescan, fold);
  return text;
}

template <typename Char>
void SplitAt(const std::basic_string<Char>& text, const std::basic_string<Char>& delimiter,
             bool keepEmpty, std::vector<std::basic_string<Char>>& pieces) {
  using Str = std::basic_string<Char>;
  if (text.empty() || delimiter.empty()) return;
  size_t found = text.find(delimiter);
  if (found == Str::npos) return;
  size_t start = 0;
  while (true) {
    const size_t end = (found == Str::npos) ? text.size() : found;
    if (keepEmpty || end > start) pieces.push_back(text.substr(start, end - start));
    if (found == Str::npos) break;
    start = found + delimiter.size();
    found = start >= text.size() ? Str::npos : text.find(delimiter, start);
  }
}

// The percent texts, one per byte value.
struct PercentTable {
  wchar_t text[256][4];
  PercentTable() {
    static const wchar_t kHex[] = L"0123456789abcdef";
    for (int b = 0; b < 256; ++b) {
      text[b][0] = L'%';
      text[b][1] = kHex[b >> 4];
      text[b][2] = kHex[b & 0xF];
      text[b][3] = L'\0';
    }
  }
};

void AppendByte(std::wstring& out, unsigned byte) {
  static const PercentTable table;
  out.append(table.text[byte & 0xFF], 3);
}

// Removes host + "/" where it stands as whole path segments, e.g. a path that repeats
// the host name in front ("host/host/x"), without cutting into a longer segment such as
// "data/" when the host is "a".
void RemoveHostSegments(std::wstring& path, const std::wstring& host) {
  const std::wstring segment = host + L"/";
  std::wstring out;
  size_t start = 0;
  while (start < path.size()) {
    if (path.compare(start, segment.size(), segment) == 0) {
      start += segment.size();
      continue;
    }
    const size_t slash = path.find(L'/', start);
    const size_t end = slash == std::wstring::npos ? path.size() : slash + 1;
    out.append(path, start, end - start);
    start = end;
  }
  path.swap(out);
}

// The leading decimal digits as a port number, or 0 when they are not a usable port
// (too many digits for an int, 0, or above 65535).
uint16_t PortFromDigits(const std::wstring& digits) {
  if (digits.empty() || digits.size() > 9) return 0;
  long value = 0;
  for (wchar_t d : digits) value = value * 10 + (d - L'0');
  return (value >= 1 && value <= 65535) ? static_cast<uint16_t>(value) : 0;
}

}  // namespace

std::wstring StringUtils::ToWide(const std::string& narrow) {
  const size_t length = LengthToZero(narrow);
  if (length == 0 || length > INT_MAX) return std::wstring();
  const int count = static_cast<int>(length);
  const int needed = MultiByteToWideChar(CP_ACP, 0, narrow.data(), count, nullptr, 0);
  if (needed <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(needed), L'\0');
  const int written = MultiByteToWideChar(CP_ACP, 0, narrow.data(), count, &wide[0], needed);
  if (written <= 0) return std::wstring();
  wide.resize(static_cast<size_t>(written));
  return wide;
}

std::string StringUtils::ToNarrow(const std::wstring& wide) {
  const size_t length = LengthToZero(wide);
  if (length == 0 || length > INT_MAX) return std::string();
  const int count = static_cast<int>(length);
  // The size is asked first so that a multi-byte code page gets the whole text, not as
  // many bytes as there are characters.
  const int needed =
      WideCharToMultiByte(CP_ACP, 0, wide.data(), count, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return std::string();
  std::string narrow(static_cast<size_t>(needed), '\0');
  const int written =
      WideCharToMultiByte(CP_ACP, 0, wide.data(), count, &narrow[0], needed, nullptr, nullptr);
  if (written <= 0) return std::string();
  narrow.resize(static_cast<size_t>(written));
  return narrow;
}

void StringUtils::Split(const std::wstring& text, const std::wstring& delimiter, bool keepEmpty,
                        std::vector<std::wstring>& pieces) {
  SplitAt(text, delimiter, keepEmpty, pieces);
}

void StringUtils::Split(const std::string& text, const std::string& delimiter, bool keepEmpty,
                        std::vector<std::string>& pieces) {
  SplitAt(text, delimiter, keepEmpty, pieces);
}

std::wstring StringUtils::Join(const std::vector<std::wstring>& pieces,
                               const std::wstring& separator) {
  std::wstring joined;
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) joined += separator;
    joined += pieces[i];
  }
  return joined;
}

std::wstring& StringUtils::ReplaceAll(std::wstring& text, const std::wstring& search,
                                      const std::wstring& replacement) {
  return ReplaceAllWith(text, search, replacement, Identity<wchar_t>);
}

std::string& StringUtils::ReplaceAll(std::string& text, const std::string& search,
                                     const std::string& replacement) {
  return ReplaceAllWith(text, search, replacement, Identity<char>);
}

std::wstring& StringUtils::ReplaceAllNoCase(std::wstring& text, const std::wstring& search,
                                            const std::wstring& replacement) {
  return ReplaceAllWith(text, search, replacement, FoldAscii<wchar_t>);
}

long long StringUtils::FindNoCase(const std::wstring& text, const std::wstring& search) {
  std::wstring foldedText(text);
  std::wstring foldedSearch(search);
  for (auto& c : foldedText) c = FoldAscii(c);
  for (auto& c : foldedSearch) c = FoldAscii(c);
  const size_t found = foldedText.find(foldedSearch);
  return found == std::wstring::npos ? -1 : static_cast<long long>(found);
}

std::wstring StringUtils::GetFileName(const std::wstring& path) {
  std::wstring copy(path);
  ReplaceAll(copy, L"\\", L"/");
  const size_t slash = copy.rfind(L'/');
  if (slash == std::wstring::npos) return std::wstring();
  return copy.substr(slash + 1);
}

void StringUtils::SplitUrl(const std::wstring& url, std::wstring& host, std::wstring& path,
                           uint16_t& port, bool& secure) {
  port = 80;
  secure = false;
  std::wstring text(url);
  if (FindNoCase(text, L"https://") >= 0) {
    secure = true;
    port = 443;
    ReplaceAllNoCase(text, L"https://", L"");
  } else {
    ReplaceAllNoCase(text, L"http://", L"");
  }
  ReplaceAll(text, L"//", L"/");

  std::vector<std::wstring> pieces;
  Split(text, L"/", false, pieces);
  if (!pieces.empty()) {
    host = pieces[0];
    path.clear();
    if (pieces.size() > 1) {
      path = Join(std::vector<std::wstring>(pieces.begin() + 1, pieces.end()), L"/");
      RemoveHostSegments(path, host);
    }
  }

  std::vector<std::wstring> colonPieces;
  Split(text, L":", false, colonPieces);
  if (colonPieces.empty()) return;
  const std::wstring& last = colonPieces.back();
  size_t digitCount = 0;
  while (digitCount < last.size() && last[digitCount] >= L'0' && last[digitCount] <= L'9') {
    ++digitCount;
  }
  const std::wstring digits = last.substr(0, digitCount);
  ReplaceAll(host, L":" + digits, L"");
  // A number that is no port (too long, 0, above 65535) keeps the scheme's port.
  const uint16_t parsed = PortFromDigits(digits);
  if (parsed != 0) port = parsed;
}

std::wstring StringUtils::UrlEncode(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size() * 3);
  for (wchar_t wc : text) {
    const unsigned c = static_cast<unsigned>(wc) & 0xFFFF;
    const bool alnum = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (alnum) {
      out.push_back(wc);
    } else if (c < 0x80) {
      AppendByte(out, c);
    } else if (c < 0x800) {
      AppendByte(out, 0xC0 | (c >> 6));
      AppendByte(out, 0x80 | (c & 0x3F));
    } else {
      // Surrogate halves are encoded one by one, as three bytes each.
      AppendByte(out, 0xE0 | (c >> 12));
      AppendByte(out, 0x80 | ((c >> 6) & 0x3F));
      AppendByte(out, 0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::wstring StringUtils::ToLowerAscii(const std::wstring& text) {
  std::wstring folded = text;
  for (wchar_t& c : folded) c = FoldAscii(c);
  return folded;
}

std::wstring StringUtils::ToUpperAscii(const std::wstring& text) {
  std::wstring folded = text;
  for (wchar_t& c : folded) c = UpperAscii(c);
  return folded;
}
