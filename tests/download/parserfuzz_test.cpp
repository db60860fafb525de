// Random and mutated inputs through every reader of network or disk data: CRC info documents,
// the web service's answers, URLs, form values, text replacement, the folder watcher's change
// records and response header blocks. Whatever the input: no crash, no hang, no allocation out
// of proportion to it, and the readers' own promises hold; well-formed inputs also read back as
// written. tools/test runs 20,000 inputs; `tools/fuzz N --seed S` runs N by hand.
#include "base/stringutils.h"
#include "download/store/crcinforeader.h"
#include "download/store/filesystemwatcher.h"
#include "download/service/serviceclient.h"
#include "net/connection.h"
#include "support/fuzzcampaign.h"
#include "support/testenv.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <new>
#include <string>
#include <vector>

// Every allocation of this executable is seen by the campaign's bookkeeping. (The process
// heap rather than malloc: g++ would take free() in a replaced delete for a mismatch.)
void* operator new(size_t bytes) {
  testsupport::NoteAllocation(bytes);
  void* p = HeapAlloc(GetProcessHeap(), 0, bytes ? bytes : 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void operator delete(void* p) noexcept {
  if (p != nullptr) HeapFree(GetProcessHeap(), 0, p);
}
void operator delete(void* p, size_t) noexcept { operator delete(p); }

namespace {

using testsupport::FuzzCampaign;
using testsupport::FuzzRandom;
using testsupport::Mutate;
using testsupport::Printable;
using testsupport::RunFuzzCampaign;
using testsupport::Tokens;
using namespace std::string_literals;

constexpr size_t kParsers = 7;
// Now and then an input grows large (up to the limits the program sets for what it reads),
// so that work growing faster than the input shows as a slow input.
constexpr size_t kLargeInput = 1024 * 1024;

std::string Repeat(const std::string& text, size_t size) {
  std::string out;
  while (!text.empty() && out.size() < size) out += text;
  return out.substr(0, size);
}

struct ListedFile {
  std::string name;
  uint64_t size;
};

std::string DocumentOf(const std::string& release, const std::vector<ListedFile>& files,
                       FuzzRandom& random) {
  std::string text = release;
  for (const ListedFile& f : files) {
    text += ";" + f.name + "\r\n" + std::to_string(f.size) + "\r\n";
    for (size_t k = 0; k < CRCInfoReader::PartCount(f.size); ++k)
      text += std::to_string(static_cast<int32_t>(random.Next())) + "\r\n";
  }
  return text;
}

std::vector<ListedFile> RandomFiles(FuzzRandom& random) {
  static const std::vector<std::string> kNames = {
      "Setup.exe", "Velmot Data.cab", "data_1.bin", "x", "Readme.txt", "caf\xe9.dat", "a.b.c.exe"};
  static const std::vector<uint64_t> kSizes = {0,        1,        9999999, 10000000,  10000001,
                                               25000000, 60000000, 122877,  2000000000};
  std::vector<ListedFile> files(1 + random.Below(4));
  for (auto& f : files) {
    f.name = random.OneIn(3) ? std::string("f") + std::to_string(random.Below(100000)) + ".bin"
                             : random.Pick(kNames);
    f.size = random.OneIn(3) ? random.Below(60000001) : random.Pick(kSizes);
  }
  return files;
}

void CheckEntry(const CRCInfoEntry& entry, const std::string& input) {
  ASSERT_FALSE(entry.empty()) << Printable(input);
  ASSERT_FALSE(entry.back().empty()) << "a trailing empty line was kept: " << Printable(input);
  for (const std::wstring& line : entry) {
    ASSERT_EQ(line.find(L"\r\n"), std::wstring::npos) << Printable(input);
    ASSERT_EQ(line.find(L';'), std::wstring::npos) << Printable(input);
  }
  const std::wstring& name = entry[0];
  if (CRCInfoReader::IsSafeFileName(name)) {
    ASSERT_EQ(name.find_first_of(L"/\\:"), std::wstring::npos) << Printable(name);
    ASSERT_EQ(name.find(L".."), std::wstring::npos) << Printable(name);
    ASSERT_LE(name.size(), 200u);
    ASSERT_NE(name.back(), L'.');
    ASSERT_NE(name.back(), L' ');
    const std::wstring local = CRCInfoReader::LocalName(name, L"_95");
    ASSERT_EQ(local.size(), name.size() + 3);
    ASSERT_EQ(local.find_first_of(L"/\\:"), std::wstring::npos) << Printable(local);
    ASSERT_EQ(local.find(L".."), std::wstring::npos) << Printable(local);
    ASSERT_NE(local.back(), L'.');
    ASSERT_NE(local.back(), L' ');
    ASSERT_NE(local.find(L"_95"), std::wstring::npos);
  }
  uint64_t size = 0;
  if (CRCInfoReader::IsConsistent(entry, size)) {
    uint64_t strict = 0;
    ASSERT_TRUE(CRCInfoReader::ReadSizeLine(entry[1], strict));
    ASSERT_EQ(strict, size);
    ASSERT_EQ(CRCInfoReader::ParseSizeLine(entry[1]), size) << Printable(entry[1]);
    const size_t parts = CRCInfoReader::PartCount(size);
    ASSERT_EQ(entry.size(), parts + 2);
    uint64_t covered = 0;
    for (size_t k = 0; k < parts; ++k) {
      const uint64_t bytes = CRCInfoReader::PartBytes(size, k);
      ASSERT_GT(bytes, 0u);
      ASSERT_LE(bytes, CRCInfoReader::kPartSize);
      covered += bytes;
      CRCInfoReader::ParseCrcLine(entry[k + 2]);
    }
    ASSERT_EQ(covered, size);
  }
}

TEST(ParserFuzz, CrcInfoDocuments) {
  static const std::vector<std::string> kTokens = Tokens(
      ";|\r\n|\r|\n|\0|0x|-| |\t|..|\\|/|:|CON|LPT1|.exe|\xff|\x81\x40|18446744073709551616|"
      "99999999999|-2147483649|10000000|;;\r\n\r\n|\r\n\r\n"s);
  RunFuzzCampaign("CRC info documents", 1, kParsers, [&](FuzzCampaign& fuzz) {
    const std::vector<ListedFile> files = RandomFiles(fuzz);
    const std::string release = fuzz.OneIn(2) ? "Velmot Pro" : "Velmot 10.5";
    std::string text = DocumentOf(release, files, fuzz);
    const bool wellFormed = fuzz.OneIn(8);
    if (!wellFormed) text = Mutate(fuzz, text, kTokens, 64 * 1024);
    if (!wellFormed && fuzz.OneIn(1000)) text = Repeat(text, kLargeInput);
    // The program removes zero bytes before it reads a document.
    std::string read = text;
    read.erase(std::remove(read.begin(), read.end(), '\0'), read.end());

    CRCInfo entries;
    ASSERT_TRUE(fuzz.Read(read, [&] {
      CRCInfoReader::Parse(read, entries);
      for (const CRCInfoEntry& entry : entries) {
        CheckEntry(entry, read);
        if (HasFatalFailure()) break;
      }
    }));
    ASSERT_LE(entries.size(), static_cast<size_t>(std::count(read.begin(), read.end(), ';')));

    if (wellFormed && read.size() == text.size()) {
      ASSERT_EQ(entries.size(), files.size()) << Printable(read);
      for (size_t i = 0; i < files.size(); ++i) {
        ASSERT_EQ(StringUtils::ToNarrow(entries[i][0]), files[i].name);
        uint64_t size = 0;
        ASSERT_TRUE(CRCInfoReader::IsConsistent(entries[i], size)) << Printable(read);
        ASSERT_EQ(size, files[i].size);
      }
    }
  });
}

TEST(ParserFuzz, ServiceAnswers) {
  static const std::vector<std::string> kTokens = Tokens(
      "{|}|[|]|\"|\\|\\u|\\ud800|\\udc00\\ud800|:|,|null|true|1e999|-0|0.0000001|\"error_info\":|"
      "\"host_name\":|\xc3\xa9|\xff\xfe|\xe9|\0|/*|//|\xef\xbb\xbf"s);
  static const std::vector<std::string> kTexts = Tokens(
      "files-20.velmot.test||caf\xc3\xa9|\\\"quoted\\\"|\\u00e9\\u20ac|a\\nb|?sv=2021&sig=abc%2B|"
      "devstoreaccount1/releases/velmot-pro/9.5"s);
  using Answer = ServiceClient::Answer;
  RunFuzzCampaign("service answers", 2, kParsers, [&](FuzzCampaign& fuzz) {
    // A well-formed answer: each member a text, or now and then another kind of value.
    const bool refused = fuzz.OneIn(4);
    const std::string host = fuzz.OneIn(6) ? "" : fuzz.Pick(kTexts);
    const bool hostIsText = !fuzz.OneIn(8);
    std::string text = "{\"error_info\": ";
    text += refused ? "\"Unknown release \\\"X\\\"\"" : fuzz.OneIn(2) ? "null" : "17";
    text += ", \"product_code\": " +
            (fuzz.OneIn(5) ? std::string("95") : "\"" + fuzz.Pick(kTexts) + "\"");
    text += ", \"company_name\": \"Velmot\"";
    text += ", \"host_name\": " + (hostIsText ? "\"" + host + "\"" : std::string("[1, 2]"));
    text += ", \"download_subdir\": \"" + fuzz.Pick(kTexts) + "\"";
    text += ", \"SAS\": \"" + fuzz.Pick(kTexts) + "\"}";
    const bool wellFormed = fuzz.OneIn(8);
    if (!wellFormed) text = Mutate(fuzz, text, kTokens, 64 * 1024);
    if (!wellFormed && fuzz.OneIn(2000)) {
      // Deep nesting: a reader that recursed per level would run out of stack.
      const size_t depth = 1000 + fuzz.Below(100000);
      text = std::string(depth, '[') + text + std::string(fuzz.OneIn(2) ? depth : 0, ']');
    } else if (!wellFormed && fuzz.OneIn(1000)) {
      text = Repeat(text, kLargeInput);
    }

    DownloadDescriptor descriptor;
    std::wstring refusal;
    Answer answer = Answer::kNotJsonObject;
    ASSERT_TRUE(
        fuzz.Read(text, [&] { answer = ServiceClient::ReadAnswer(text, descriptor, refusal); }));
    if (answer == Answer::kUsable) {
      ASSERT_FALSE(descriptor.hostName.empty());
    }
    if (!wellFormed) return;
    if (refused) {
      ASSERT_EQ(answer, Answer::kRefused) << Printable(text);
      ASSERT_EQ(refusal, L"Unknown release \"X\"");
    } else if (!hostIsText || host.empty()) {
      ASSERT_EQ(answer, Answer::kNoFileHost) << Printable(text);
    } else {
      ASSERT_EQ(answer, Answer::kUsable) << Printable(text);
      ASSERT_EQ(descriptor.companyName, L"Velmot");
      // What an independent reading of the same JSON gives.
      const std::string expected = nlohmann::json::parse(text)["host_name"].get<std::string>();
      ASSERT_EQ(descriptor.hostName, testsupport::FromUtf8(expected)) << Printable(text);
    }
  });
}

TEST(ParserFuzz, Urls) {
  static const std::vector<std::wstring> kTokens = Tokens(
      L"/|//|:|https://|http://|HTTPS://|%|?|#|@|65535|65536|0|:443|99999999999|[::1]|\\|..|"
      L"\u00e9|\xd800|:8080/|localhost"s);
  static const std::vector<std::wstring> kHosts = {L"localhost", L"files-20.velmot.test",
                                                   L"127.0.0.1", L"a", L"service.maker.com"};
  static const std::vector<std::wstring> kSegments = {
      L"Velmot", L"DownloadManager8.ashx", L"x", L"rel", L"9.5", L"a_b-c"};
  RunFuzzCampaign("URLs", 3, kParsers, [&](FuzzCampaign& fuzz) {
    const bool secure = fuzz.OneIn(2);
    std::wstring scheme = secure ? L"https://" : L"http://";
    for (auto& c : scheme)
      if (fuzz.OneIn(3)) c = static_cast<wchar_t>(std::towupper(c));
    const std::wstring host = fuzz.Pick(kHosts);
    const uint16_t port = fuzz.OneIn(2) ? static_cast<uint16_t>(1 + fuzz.Below(65535)) : 0;
    std::wstring path;
    for (size_t k = fuzz.Below(5); k > 0; --k)
      path += (path.empty() ? L"" : L"/") + fuzz.Pick(kSegments);
    std::wstring url = scheme + host + (port ? L":" + std::to_wstring(port) : L"") + L"/" + path;
    const bool wellFormed = fuzz.OneIn(4);
    if (!wellFormed) url = Mutate(fuzz, url, kTokens, 4096);
    if (!wellFormed && fuzz.OneIn(1000))
      url += std::wstring(kLargeInput / 4, fuzz.OneIn(2) ? L'/' : L':');

    std::wstring gotHost = L"unset", gotPath = L"unset";
    uint16_t gotPort = 0;
    bool gotSecure = false;
    ASSERT_TRUE(
        fuzz.Read(url, [&] { StringUtils::SplitUrl(url, gotHost, gotPath, gotPort, gotSecure); }));
    ASSERT_EQ(gotHost.find(L'/'), std::wstring::npos) << Printable(url);
    ASSERT_NE(gotPort, 0u);
    if (gotPath != L"unset") {
      ASSERT_NE(gotPath.compare(0, 1, L"/"), 0) << Printable(url);
      ASSERT_EQ(gotPath.find(L"//"), std::wstring::npos) << Printable(url);
    }
    if (!wellFormed) return;
    ASSERT_EQ(gotHost, host) << Printable(url);
    ASSERT_EQ(gotPath, path) << Printable(url);
    ASSERT_EQ(gotSecure, secure) << Printable(url);
    ASSERT_EQ(gotPort, port ? port : (secure ? 443 : 80)) << Printable(url);
  });
}

bool IsHex(wchar_t c) { return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'); }

TEST(ParserFuzz, FormValues) {
  RunFuzzCampaign("form values", 4, kParsers, [&](FuzzCampaign& fuzz) {
    std::wstring value = fuzz.Wide(fuzz.OneIn(10) ? 2000 : 40);
    if (fuzz.OneIn(1000)) value = std::wstring(kLargeInput / 2, L'\u20ac');

    std::wstring encoded;
    ASSERT_TRUE(fuzz.Read(value, [&] { encoded = StringUtils::UrlEncode(value); }));

    // Only letters, digits and %xx with lower-case hex; decoded, the UTF-8 of the value.
    std::string decoded;
    for (size_t i = 0; i < encoded.size(); ++i) {
      const wchar_t c = encoded[i];
      if (c == L'%') {
        ASSERT_TRUE(i + 2 < encoded.size() && IsHex(encoded[i + 1]) && IsHex(encoded[i + 2]))
            << Printable(value);
        decoded.push_back(
            static_cast<char>(std::wcstoul(encoded.substr(i + 1, 2).c_str(), nullptr, 16)));
        i += 2;
      } else {
        ASSERT_TRUE(std::iswalnum(c) && c < 0x80)
            << Printable(value) << " gave " << Printable(encoded);
        decoded.push_back(static_cast<char>(c));
      }
    }
    const bool surrogates = std::any_of(value.begin(), value.end(),
                                        [](wchar_t c) { return c >= 0xD800 && c <= 0xDFFF; });
    if (surrogates) return;
    ASSERT_EQ(decoded, testsupport::ToUtf8(value)) << Printable(value);
  });
}

template <typename Char>
Char Fold(Char c) {
  return (c >= Char('A') && c <= Char('Z')) ? static_cast<Char>(c + 32) : c;
}

template <typename Str>
size_t FindFrom(const Str& text, const Str& search, size_t from, bool noCase) {
  const auto at = std::search(text.begin() + from, text.end(), search.begin(), search.end(),
                              [&](auto a, auto b) { return noCase ? Fold(a) == Fold(b) : a == b; });
  return at == text.end() ? Str::npos : static_cast<size_t>(at - text.begin());
}

// The plain reading: a shorter replacement is applied to the first occurrence until none is
// left; any other replaces the occurrences of one left-to-right pass.
template <typename Str>
Str PlainReplace(Str text, const Str& search, const Str& replacement, bool noCase) {
  if (search.empty()) return text;
  for (size_t at = 0; (at = FindFrom(text, search, at, noCase)) != Str::npos;) {
    text.replace(at, search.size(), replacement);
    at = replacement.size() < search.size() ? 0 : at + replacement.size();
  }
  return text;
}

std::wstring SmallAlphabetText(FuzzRandom& random, size_t maxLength) {
  static const std::wstring kAlphabet = L"abAB/x\u00e9";
  std::wstring text(random.Below(maxLength + 1), L'a');
  for (auto& c : text) c = kAlphabet[random.Below(kAlphabet.size())];
  return text;
}

TEST(ParserFuzz, TextReplacement) {
  using testsupport::ToUtf8;
  RunFuzzCampaign("ReplaceAll", 5, kParsers, [&](FuzzCampaign& fuzz) {
    const bool large = fuzz.OneIn(1000);
    std::wstring text = large ? std::wstring(kLargeInput / 2, L'/') : SmallAlphabetText(fuzz, 80);
    const bool anyUnits = !large && fuzz.OneIn(4);
    if (anyUnits) text = fuzz.Wide(80);
    const std::wstring search = large ? L"//" : SmallAlphabetText(fuzz, 4);
    const std::wstring replacement = large ? L"/" : SmallAlphabetText(fuzz, 6);
    const bool noCase = fuzz.OneIn(2);
    const bool narrow = !noCase && !anyUnits && !large && fuzz.OneIn(3);

    std::wstring replaced = text;
    std::string narrowText = ToUtf8(text);
    ASSERT_TRUE(fuzz.Read(text, [&] {
      if (narrow) {
        StringUtils::ReplaceAll(narrowText, ToUtf8(search), ToUtf8(replacement));
      } else if (noCase) {
        StringUtils::ReplaceAllNoCase(replaced, search, replacement);
      } else {
        StringUtils::ReplaceAll(replaced, search, replacement);
      }
    }));

    if (large) {
      ASSERT_TRUE(replaced == L"/") << replaced.size() << " units left";
    } else if (narrow) {
      ASSERT_EQ(narrowText, PlainReplace(ToUtf8(text), ToUtf8(search), ToUtf8(replacement), false))
          << Printable(text) << " / " << Printable(search);
    } else {
      ASSERT_EQ(replaced, PlainReplace(text, search, replacement, noCase))
          << Printable(text) << " / " << Printable(search) << " -> " << Printable(replacement)
          << (noCase ? " (no case)" : "");
    }
  });
}

// A block that ends where an inaccessible page begins: reading one byte past it faults.
class GuardedBlock {
 public:
  static constexpr size_t kBytes = 64 * 1024;
  GuardedBlock() {
    base_ = static_cast<unsigned char*>(
        VirtualAlloc(nullptr, kBytes + 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    DWORD old = 0;
    VirtualProtect(base_ + kBytes, 4096, PAGE_NOACCESS, &old);
  }
  ~GuardedBlock() { VirtualFree(base_, 0, MEM_RELEASE); }
  GuardedBlock(const GuardedBlock&) = delete;
  GuardedBlock& operator=(const GuardedBlock&) = delete;
  const unsigned char* Place(const std::string& bytes) {
    unsigned char* start = base_ + kBytes - bytes.size();
    std::copy(bytes.begin(), bytes.end(), start);
    return start;
  }

 private:
  unsigned char* base_;
};

void AppendDword(std::string& out, DWORD value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof(value));
}

TEST(ParserFuzz, FolderChangeRecords) {
  static const std::vector<std::string> kTokens =
      Tokens("\0\0\0\0|\xff\xff\xff\xff|\x0c\0\0\0|\x01\0\0\0|\x10\0\0\0|\0\x40\0\0"s);
  GuardedBlock guarded;
  RunFuzzCampaign("folder change records", 6, kParsers, [&](FuzzCampaign& fuzz) {
    // Records as the system writes them: DWORD-aligned, the last with next offset 0.
    std::vector<FileSystemWatcher::ChangeRecord> written(fuzz.Below(6));
    std::string block;
    for (size_t i = 0; i < written.size(); ++i) {
      written[i].action = static_cast<DWORD>(1 + fuzz.Below(5));
      written[i].name = fuzz.Wide(fuzz.OneIn(20) ? 600 : 30);
      const DWORD nameBytes = static_cast<DWORD>(written[i].name.size() * sizeof(wchar_t));
      const DWORD size = (12 + nameBytes + 3) & ~3u;
      AppendDword(block, i + 1 == written.size() ? 0 : size);
      AppendDword(block, written[i].action);
      AppendDword(block, nameBytes);
      block.append(reinterpret_cast<const char*>(written[i].name.data()), nameBytes);
      block.resize(block.size() + (size - 12 - nameBytes), '\0');
    }
    const bool wellFormed = fuzz.OneIn(4);
    if (!wellFormed) block = Mutate(fuzz, block, kTokens, GuardedBlock::kBytes);

    const unsigned char* start = guarded.Place(block);
    const DWORD bytes = static_cast<DWORD>(block.size());
    std::vector<FileSystemWatcher::ChangeRecord> read;
    DWORD offset = 0;
    FileSystemWatcher::ChangeRecord record;
    ASSERT_TRUE(fuzz.Read(block, [&] {
      while (read.size() <= bytes &&
             FileSystemWatcher::ReadChangeRecord(start, bytes, offset, record))
        read.push_back(record);
    }));
    // Every step moves forward: no block makes the walk go round.
    ASSERT_LE(read.size(), bytes);
    ASSERT_LE(offset, bytes);
    for (const auto& r : read) ASSERT_LE(r.name.size() * sizeof(wchar_t) + 12, bytes);
    if (!wellFormed) return;
    ASSERT_EQ(read.size(), written.size());
    for (size_t i = 0; i < read.size(); ++i) {
      ASSERT_EQ(read[i].action, written[i].action);
      ASSERT_EQ(read[i].name, written[i].name);
    }
  });
}

// The decimal value of an all-digit text, or -1 when it has other characters or passes
// 18 digits (beyond which the reader may refuse a number that still fits).
long long PlainDecimal(const std::wstring& text, bool& undecided) {
  undecided = false;
  if (text.empty() || text.find_first_not_of(L"0123456789") != std::wstring::npos) return -1;
  const size_t significant = text.size() - std::min(text.find_first_not_of(L'0'), text.size());
  undecided = significant > 18;
  return undecided ? -1 : std::wcstoll(text.c_str(), nullptr, 10);
}

TEST(ParserFuzz, ResponseHeaderBlocks) {
  static const std::vector<std::wstring> kTokens = Tokens(
      L"\r\n|:| |Content-Length: |\r\n\r\n|HTTP/1.1 |-|+|0x|9223372036854775807|"
      L"9223372036854775808|99999999999999999999|\u0661|\0"s);
  static const std::vector<std::wstring> kFields = {
      L"Content-Type: application/octet-stream", L"Connection: keep-alive",
      L"x-ms-request-id: 7c2f", L"Date: Tue, 08 Dec 2026 19:00:00 GMT", L"ETag: \"0x8D\""};
  RunFuzzCampaign("response header blocks", 7, kParsers, [&](FuzzCampaign& fuzz) {
    const std::wstring length =
        std::to_wstring(fuzz.OneIn(3) ? fuzz.Next() >> fuzz.Below(64) : fuzz.Below(10000001));
    const size_t fieldCount = fuzz.Below(5);
    std::wstring block = fuzz.OneIn(2) ? L"HTTP/1.1 200 OK\r\n" : L"HTTP/1.0 403 Forbidden\r\n";
    if (fuzz.OneIn(2)) block += L"Content-Length: " + length + L"\r\n";
    for (size_t k = 0; k < fieldCount; ++k) block += fuzz.Pick(kFields) + L"\r\n";
    block += L"\r\n";
    const bool wellFormed = fuzz.OneIn(4);
    if (!wellFormed) block = Mutate(fuzz, block, kTokens, 4096);
    if (!wellFormed && fuzz.OneIn(1000))
      block += std::wstring(kLargeInput / 2, fuzz.OneIn(2) ? L':' : L'\r');
    // WinINet hands the value over without the name; sometimes a mutated value on its own.
    std::wstring value = length;
    const size_t named = block.find(L"Content-Length: ");
    if (named != std::wstring::npos) {
      const size_t from = named + 16;
      value = block.substr(from, block.find(L"\r\n", from) - std::min(from, block.size()));
    } else if (fuzz.OneIn(2)) {
      value = Mutate(fuzz, length, kTokens, 64);
    }
    value = value.c_str();  // what the zero-terminated buffer holds

    bool fields = false;
    int64_t contentLength = 0;
    ASSERT_TRUE(fuzz.Read(block, [&] {
      fields = Connection::HasHeaderFields(block);
      contentLength = Connection::ParseContentLength(value.c_str());
    }));

    const size_t lineEnd = block.find(L"\r\n");
    ASSERT_EQ(fields,
              lineEnd != std::wstring::npos && block.find(L':', lineEnd) != std::wstring::npos)
        << Printable(block);
    bool undecided = false;
    const long long expected = PlainDecimal(value, undecided);
    if (undecided) {
      ASSERT_TRUE(contentLength == -1 ||
                  std::to_wstring(contentLength) == value.substr(value.find_first_not_of(L'0')))
          << Printable(value);
    } else {
      ASSERT_EQ(contentLength, expected) << Printable(value);
    }
    if (!wellFormed) return;
    ASSERT_EQ(fields, named != std::wstring::npos || fieldCount > 0);
  });
}

}  // namespace
