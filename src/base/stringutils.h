// Text conversions and text surgery shared by the whole program. Wide strings are UTF-16;
// narrow strings are bytes in the system's ANSI code page (CP_ACP). Pure functions: no
// state, no records, safe on any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class StringUtils {
 public:
  virtual ~StringUtils() = default;

  static std::wstring ToWide(const std::string& narrow);
  static std::string ToNarrow(const std::wstring& wide);

  // Appends the pieces between non-overlapping occurrences of delimiter. A text without
  // the delimiter (or an empty text or delimiter) appends nothing at all.
  static void Split(const std::wstring& text, const std::wstring& delimiter, bool keepEmpty,
                    std::vector<std::wstring>& pieces);
  static void Split(const std::string& text, const std::string& delimiter, bool keepEmpty,
                    std::vector<std::string>& pieces);

  static std::wstring Join(const std::vector<std::wstring>& pieces, const std::wstring& separator);

  // Replaces occurrences of search until none is left; returns the text.
  static std::wstring& ReplaceAll(std::wstring& text, const std::wstring& search,
                                  const std::wstring& replacement);
  static std::string& ReplaceAll(std::string& text, const std::string& search,
                                 const std::string& replacement);
  static std::wstring& ReplaceAllNoCase(std::wstring& text, const std::wstring& search,
                                        const std::wstring& replacement);

  // Position of the first occurrence, ASCII letters compared without case; -1 if none.
  static long long FindNoCase(const std::wstring& text, const std::wstring& search);

  // ASCII letters only change case; every other character stays (no locale involved, so
  // the result never depends on the user's settings).
  static std::wstring ToLowerAscii(const std::wstring& text);
  static std::wstring ToUpperAscii(const std::wstring& text);

  // The text after the last "/" or "\\"; empty when the path has no separator.
  static std::wstring GetFileName(const std::wstring& path);

  // Splits an http(s) URL into host, object path (no leading "/"), port and TLS flag.
  static void SplitUrl(const std::wstring& url, std::wstring& host, std::wstring& path,
                       uint16_t& port, bool& secure);

  // Percent-encodes everything but ASCII letters and digits (UTF-8 bytes, lower-case hex).
  static std::wstring UrlEncode(const std::wstring& text);
};
