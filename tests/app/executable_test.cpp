// The built programs as a bare Windows 10/11 machine meets them: the DLLs they import
// (read from the PE file itself, not through a host tool) and the resources that Explorer,
// the loader and the taskbar read (manifest, version, icon).
#include "support/dmprocess.h"
#include "support/downloadjob.h"
#include "support/inprocesswindow.h"

#include "resource.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

// DLLs that every Windows 10/11 x64 installation has.
const std::set<std::string> kSystemDlls = {
    "kernel32.dll", "user32.dll",   "gdi32.dll",    "advapi32.dll", "shell32.dll",
    "ole32.dll",    "oleaut32.dll", "comctl32.dll", "comdlg32.dll", "wininet.dll",
    "crypt32.dll",  "version.dll",  "msvcrt.dll",
};

std::string Lower(std::string name) {
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return name;
}

bool IsSystemDll(const std::string& name) {
  return kSystemDlls.count(Lower(name)) != 0 || Lower(name).rfind("api-ms-win-crt-", 0) == 0;
}

std::wstring BuildFile(const std::wstring& relative) {
  const std::wstring program = testsupport::DmProcess::ProgramPath();  // BUILD\src\velmot-dm.exe
  std::wstring build = program.substr(0, program.find_last_of(L"\\/"));
  build = build.substr(0, build.find_last_of(L"\\/"));
  return build + L"\\" + relative;
}

// A minimal reader of a PE32+ file's import tables: ordinary and delay-loaded.
class PeImports {
 public:
  explicit PeImports(std::vector<uint8_t> image) : image_(std::move(image)) {}

  // The imported DLL names, or an error text in error().
  std::vector<std::string> Dlls() {
    std::vector<std::string> names;
    const auto* nt = NtHeaders();
    if (nt == nullptr) return names;
    const auto& dirs = nt->OptionalHeader.DataDirectory;
    ReadDescriptors<IMAGE_IMPORT_DESCRIPTOR>(
        dirs[IMAGE_DIRECTORY_ENTRY_IMPORT], names,
        [](const IMAGE_IMPORT_DESCRIPTOR& d) { return d.Name; });
    ReadDescriptors<IMAGE_DELAYLOAD_DESCRIPTOR>(
        dirs[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT], names,
        [](const IMAGE_DELAYLOAD_DESCRIPTOR& d) { return d.DllNameRVA; });
    return names;
  }
  const std::string& error() const { return error_; }

 private:
  template <typename T>
  const T* At(size_t offset) {
    if (offset > image_.size() || image_.size() - offset < sizeof(T)) return nullptr;
    return reinterpret_cast<const T*>(image_.data() + offset);
  }

  const IMAGE_NT_HEADERS64* NtHeaders() {
    const auto* dos = At<IMAGE_DOS_HEADER>(0);
    if (dos == nullptr || dos->e_magic != IMAGE_DOS_SIGNATURE) return Fail("no MZ header");
    const auto* nt = At<IMAGE_NT_HEADERS64>(static_cast<size_t>(dos->e_lfanew));
    if (nt == nullptr || nt->Signature != IMAGE_NT_SIGNATURE) return Fail("no PE header");
    if (nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) return Fail("not PE32+");
    sections_ = reinterpret_cast<const IMAGE_SECTION_HEADER*>(
        reinterpret_cast<const uint8_t*>(&nt->OptionalHeader) +
        nt->FileHeader.SizeOfOptionalHeader);
    sectionCount_ = nt->FileHeader.NumberOfSections;
    if (At<IMAGE_SECTION_HEADER>(static_cast<size_t>(reinterpret_cast<const uint8_t*>(sections_) -
                                                     image_.data())) == nullptr) {
      return Fail("section table outside the file");
    }
    return nt;
  }

  const IMAGE_NT_HEADERS64* Fail(const char* what) {
    error_ = what;
    return nullptr;
  }

  // File offset of a relative virtual address, or SIZE_MAX.
  size_t Offset(DWORD rva) const {
    for (WORD i = 0; i < sectionCount_; ++i) {
      const IMAGE_SECTION_HEADER& s = sections_[i];
      const DWORD size = std::max(s.Misc.VirtualSize, s.SizeOfRawData);
      if (rva >= s.VirtualAddress && rva < s.VirtualAddress + size) {
        return rva - s.VirtualAddress + s.PointerToRawData;
      }
    }
    return SIZE_MAX;
  }

  template <typename Descriptor, typename NameOf>
  void ReadDescriptors(const IMAGE_DATA_DIRECTORY& dir, std::vector<std::string>& names,
                       NameOf nameOf) {
    if (dir.VirtualAddress == 0) return;
    size_t at = Offset(dir.VirtualAddress);
    for (;; at += sizeof(Descriptor)) {
      const auto* d = At<Descriptor>(at);
      if (d == nullptr) {
        error_ = "import table runs past the file";
        return;
      }
      if (nameOf(*d) == 0) return;
      const size_t name = Offset(nameOf(*d));
      if (name >= image_.size()) {
        error_ = "import name outside the file";
        return;
      }
      const char* text = reinterpret_cast<const char*>(image_.data() + name);
      names.emplace_back(text, strnlen(text, image_.size() - name));
    }
  }

  std::vector<uint8_t> image_;
  const IMAGE_SECTION_HEADER* sections_ = nullptr;
  WORD sectionCount_ = 0;
  std::string error_;
};

void ExpectOnlySystemDlls(const std::wstring& path) {
  PeImports pe(testsupport::ReadFileBytes(path));
  const std::vector<std::string> dlls = pe.Dlls();
  const std::string where(path.begin(), path.end());
  ASSERT_EQ(pe.error(), "") << where;
  ASSERT_FALSE(dlls.empty()) << "no imports read from " << where;
  for (const std::string& dll : dlls) EXPECT_TRUE(IsSystemDll(dll)) << where << " imports " << dll;
}

// A resource's bytes as the module holds them; empty when it has none.
std::string ResourceBytes(HMODULE module, LPCWSTR type, LPCWSTR name) {
  HRSRC found = FindResourceW(module, name, type);
  if (found == nullptr) return {};
  const char* data = static_cast<const char*>(LockResource(LoadResource(module, found)));
  return data ? std::string(data, SizeofResource(module, found)) : std::string();
}

#pragma pack(push, 2)
struct IconGroupHeader {
  WORD reserved, type, count;
};
struct IconGroupEntry {
  BYTE width, height, colors, reserved;
  WORD planes, bitCount;
  DWORD bytes;
  WORD id;
};
#pragma pack(pop)

std::wstring VersionText(const std::vector<uint8_t>& block, const wchar_t* name) {
  void* value = nullptr;
  UINT length = 0;
  const std::wstring key = std::wstring(L"\\StringFileInfo\\040904b0\\") + name;
  if (!VerQueryValueW(block.data(), key.c_str(), &value, &length) || length == 0) return L"<none>";
  return std::wstring(static_cast<const wchar_t*>(value));
}

// The program's resources, loaded without running it.
using Executable = testsupport::InProcessWindowTest;

}  // namespace

TEST_F(Executable, ImportsOnlyDllsOfEveryWindows) {
  ExpectOnlySystemDlls(testsupport::DmProcess::ProgramPath());
}

TEST_F(Executable, TheDemoSetupImportsOnlyDllsOfEveryWindows) {
  ExpectOnlySystemDlls(BuildFile(L"tests\\demo-setup.exe"));
}

TEST_F(Executable, ImportReaderSeesADllThatIsNotASystemOne) {
  // The reader itself must be able to fail: a program linked against the test's own
  // runtime shows its imports, and a made-up name is refused by the list.
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  PeImports pe(testsupport::ReadFileBytes(self));
  const std::vector<std::string> dlls = pe.Dlls();
  EXPECT_EQ(pe.error(), "");
  EXPECT_NE(std::find_if(dlls.begin(), dlls.end(),
                         [](const std::string& d) { return Lower(d) == "kernel32.dll"; }),
            dlls.end());
  EXPECT_FALSE(IsSystemDll("zlib1.dll"));
  EXPECT_FALSE(IsSystemDll("libstdc++-6.dll"));
  EXPECT_TRUE(IsSystemDll("API-MS-WIN-CRT-RUNTIME-L1-1-0.DLL"));
  PeImports garbage(std::vector<uint8_t>(64, 0x4D));
  EXPECT_TRUE(garbage.Dlls().empty());
  EXPECT_NE(garbage.error(), "");
}

TEST_F(Executable, ManifestAsksForWhatAWindowsProgramShould) {
  const std::string manifest =
      ResourceBytes(resources.module, RT_MANIFEST, CREATEPROCESS_MANIFEST_RESOURCE_ID);
  ASSERT_FALSE(manifest.empty());
  for (const char* piece :
       {"level=\"asInvoker\"", "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"",
        ">PerMonitorV2</dpiAwareness>", ">true</dpiAware>", ">true</longPathAware>",
        "<supportedOS Id=\"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}\"/>"}) {
    EXPECT_NE(manifest.find(piece), std::string::npos) << piece;
  }
}

TEST_F(Executable, VersionResourceNamesTheProductAndVersion) {
  const std::wstring path = testsupport::DmProcess::ProgramPath();
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<uint8_t> block(size);
  ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(5, 9));
  EXPECT_EQ(fixed->dwFileVersionLS, 0u);
  EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(5, 9));
  EXPECT_EQ(VersionText(block, L"FileDescription"), L"Velmot download manager");
  EXPECT_EQ(VersionText(block, L"FileVersion"), L"9.5.0.0");
  EXPECT_EQ(VersionText(block, L"ProductVersion"), L"9.5.0.0");
  EXPECT_EQ(VersionText(block, L"OriginalFilename"), L"velmot-dm.exe");
  EXPECT_EQ(VersionText(block, L"ProductName"), L"Velmot");
  EXPECT_EQ(VersionText(block, L"CompanyName"), L"Velmot");
  EXPECT_NE(VersionText(block, L"LegalCopyright").find(L"Velmot"), std::wstring::npos);
}

TEST_F(Executable, IconComesInTheSizesExplorerAndTheTaskbarUse) {
  const std::string group =
      ResourceBytes(resources.module, RT_GROUP_ICON, MAKEINTRESOURCEW(IDI_VELMOT));
  ASSERT_GE(group.size(), sizeof(IconGroupHeader));
  IconGroupHeader header;
  std::memcpy(&header, group.data(), sizeof(header));
  ASSERT_EQ(group.size(), sizeof(header) + header.count * sizeof(IconGroupEntry));
  std::set<int> sizes;
  for (WORD i = 0; i < header.count; ++i) {
    IconGroupEntry entry;
    std::memcpy(&entry, group.data() + sizeof(header) + i * sizeof(entry), sizeof(entry));
    sizes.insert(entry.width == 0 ? 256 : entry.width);  // 0 stands for 256
    EXPECT_FALSE(ResourceBytes(resources.module, RT_ICON, MAKEINTRESOURCEW(entry.id)).empty())
        << entry.id;
  }
  EXPECT_EQ(sizes, (std::set<int>{16, 32, 48, 256}));
  // The icon Explorer shows is the first group; ours must be the only one.
  int groups = 0;
  EnumResourceNamesW(
      resources.module, RT_GROUP_ICON,
      [](HMODULE, LPCWSTR, LPWSTR, LONG_PTR count) -> BOOL {
        ++*reinterpret_cast<int*>(count);
        return TRUE;
      },
      reinterpret_cast<LONG_PTR>(&groups));
  EXPECT_EQ(groups, 1);
}
