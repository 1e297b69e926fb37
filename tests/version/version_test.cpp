// Versions as a user sees them: "<tool> 1.0.0" for -V and --version, the
// version resource that Explorer's Properties shows, and the client
// library's exports reached by name (as C#, ctypes or LabVIEW reach them).
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_process.h"
#include "ribex_version.h"

using ribex_test::ExeDir;
using ribex_test::RunProgram;

namespace {

const char *const kTools[] = {"candump", "canmon", "canpeer", "msgqtool", "traceview"};

std::wstring Widen(const std::string &s) { return std::wstring(s.begin(), s.end()); }

TEST(VersionTest, EveryToolPrintsItsNameAndVersion) {
    // -V also counts behind other arguments, before they are checked.
    const wchar_t *const argLists[] = {L"-V", L"--version", L"-q x -V"};
    for (const char *tool : kTools) {
        for (const wchar_t *args : argLists) {
            std::string out;
            EXPECT_EQ(0u, RunProgram(Widen(tool), args, 20000, &out)) << tool << " " << args;
            std::string line = std::string(tool) + " " + RIBEX_VERSION_STRING;
            EXPECT_TRUE(out == line + "\n" || out == line + "\r\n") << tool << " printed: " << out;
        }
    }
}

struct ResourceCase {
    const wchar_t *file;
    DWORD fileType;
};

std::wstring QueryString(const std::vector<BYTE> &block, const wchar_t *name) {
    std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    wchar_t *value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), path.c_str(), (void **)&value, &length)) return L"";
    return std::wstring(value, length > 0 ? length - 1 : 0);
}

TEST(VersionTest, ProgramsLibraryAndDriverCarryTheVersionResource) {
    const ResourceCase cases[] = {
        {L"ribex.exe", VFT_APP},     {L"candump.exe", VFT_APP},  {L"canpeer.exe", VFT_APP},
        {L"msgqtool.exe", VFT_APP},  {L"traceview.exe", VFT_APP}, {L"ribexclient.dll", VFT_DLL},
        {L"vcan.sys", VFT_DRV},      {L"canmon.exe", VFT_APP},
    };
    const DWORD versionMs = (RIBEX_VERSION_MAJOR << 16) | RIBEX_VERSION_MINOR;
    const DWORD versionLs = (DWORD)RIBEX_VERSION_PATCH << 16;
    for (const ResourceCase &c : cases) {
        std::wstring path = ExeDir() + c.file;
        DWORD ignored = 0;
        DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
        ASSERT_NE(0u, size) << "no version resource in " << std::string(path.begin(), path.end())
                            << ", error " << GetLastError();
        std::vector<BYTE> block(size);
        ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));

        VS_FIXEDFILEINFO *fixed = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", (void **)&fixed, &length));
        EXPECT_EQ(versionMs, fixed->dwFileVersionMS);
        EXPECT_EQ(versionLs, fixed->dwFileVersionLS);
        EXPECT_EQ(versionMs, fixed->dwProductVersionMS);
        EXPECT_EQ(c.fileType, fixed->dwFileType);

        EXPECT_EQ(RIBEX_VERSION_WSTRING, QueryString(block, L"FileVersion"));
        EXPECT_EQ(RIBEX_VERSION_WSTRING, QueryString(block, L"ProductVersion"));
        EXPECT_EQ(L"ribex", QueryString(block, L"ProductName"));
        EXPECT_EQ(c.file, QueryString(block, L"OriginalFilename"));
        EXPECT_FALSE(QueryString(block, L"CompanyName").empty());
        EXPECT_FALSE(QueryString(block, L"FileDescription").empty());
    }
}

TEST(VersionTest, ClientLibraryExportsItsInterfaceByName) {
    HMODULE dll = LoadLibraryW((ExeDir() + L"ribexclient.dll").c_str());
    ASSERT_NE(nullptr, dll) << GetLastError();
    const char *const exports[] = {
        "RibexOpenNet",      "RibexCloseNet",     "RibexEnableRemFrame",
        "RibexDisableRemFrame", "RibexEnumRemFrame", "RibexDisableAllRemFrames",
        "RibexReadFrames",   "RibexGetWakeEvent", "RibexGetUniqueId",
        "RibexGetRxBuffer",  "RibexGetVersion",
    };
    for (const char *name : exports) EXPECT_NE(nullptr, GetProcAddress(dll, name)) << name;

    typedef const char *(*GetVersionFn)(DWORD *, DWORD *, DWORD *);
    GetVersionFn getVersion = (GetVersionFn)(void *)GetProcAddress(dll, "RibexGetVersion");
    ASSERT_NE(nullptr, getVersion);
    DWORD major = 99, minor = 99, patch = 99;
    EXPECT_STREQ(RIBEX_VERSION_STRING, getVersion(&major, &minor, &patch));
    EXPECT_EQ((DWORD)RIBEX_VERSION_MAJOR, major);
    EXPECT_EQ((DWORD)RIBEX_VERSION_MINOR, minor);
    EXPECT_EQ((DWORD)RIBEX_VERSION_PATCH, patch);
    EXPECT_STREQ(RIBEX_VERSION_STRING, getVersion(nullptr, nullptr, nullptr));
    FreeLibrary(dll);
}

}  // namespace
