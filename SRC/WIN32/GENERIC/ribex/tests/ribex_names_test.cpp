// Object names, reply-queue wrappers, the version notice, the hMsgQRef
// table and the trace module table of the server.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "msgq.h"
#include "msgq_ref_table.h"
#include "ribex_names.h"
#include "ribex_trace_modules.h"
#include "server_test_access.h"
#include "version_check.h"
#include "test_names.h"

namespace {

std::wstring Take(wchar_t *pName) {
    if (pName == nullptr) return L"<null>";
    std::wstring s(pName);
    HeapFree(GetProcessHeap(), 0, pName);
    return s;
}

std::wstring OwnPath() {
    wchar_t path[MAX_PATH];
    return std::wstring(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
}

const DWORD kClient[] = {6};
const DWORD kDriver[] = {4, 5, 6};
const HMODULE kNotAModule = (HMODULE)(ULONG_PTR)0x12340000;

std::wstring VersionText(HMODULE hModule, const wchar_t *otherName, DWORD count,
                         const DWORD *accepted, DWORD major, DWORD minor, DWORD room = 780) {
    std::wstring text(room + 8, L'#');
    BuildVersionMessage(hModule, otherName, count, accepted, major, minor, &text[0], room);
    EXPECT_EQ(L'#', text[room]) << "wrote past the room it was given";
    return std::wstring(text.c_str());
}

TEST(Names, UniqueNamesAndDevicePathsAreWhatClientsDeriveAndNullArgumentsAreRefused) {
    // Clients build the same names on their own: the format is the contract.
    const std::wstring prefix(300, L'p'), suffix(200, L's');
    const struct {
        const wchar_t *prefix, *suffix;
        DWORD high, low;
        std::wstring name;  // empty: refused with ERROR_INVALID_PARAMETER
    } kCases[] = {
        {L"CAN1", L"EVT", 0x1a2b, 5, L"CAN100001a2b00000005EVT"},
        {L"net", L"", 0xABCDEF01, 0xFFFFFFFF, L"netabcdef01ffffffff"},
        {prefix.c_str(), suffix.c_str(), 0x12345678, 0x9abcdef0,
         prefix + L"123456789abcdef0" + suffix},
        {nullptr, L"EVT", 1, 2, L""},
        {L"net", nullptr, 1, 2, L""},
    };
    for (const auto &c : kCases) {
        wchar_t *name = CreateUniqueName(c.prefix, c.high, c.low, c.suffix);
        if (c.name.empty()) {
            EXPECT_EQ(nullptr, name);
            EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
        } else {
            EXPECT_EQ(c.name, Take(name));
        }
    }
    EXPECT_EQ(L"\\\\.\\CAN1", Take(CreateDevicePath(L"CAN1")));
    EXPECT_EQ(nullptr, CreateDevicePath(nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
}

TEST(Names, ReplyQueueWrappersMeetUnderTheSameIdOnly) {
    std::wstring net = ribex_test::UniqueName(L"wrapnet");
    EXPECT_EQ(nullptr, OpenMsgQ(net.c_str(), 0x10, 0x20));
    EXPECT_EQ((DWORD)ERROR_TIMEOUT, GetLastError());
    MsgQHandle hCreated = CreateMsgQ(net.c_str(), 0x10, 0x20, 12);
    ASSERT_NE(nullptr, hCreated);
    EXPECT_EQ(nullptr, CreateMsgQ(net.c_str(), 0x10, 0x20, 12));
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
    EXPECT_EQ(nullptr, OpenMsgQ(net.c_str(), 0x10, 0x21));
    MsgQHandle hOpened = OpenMsgQ(net.c_str(), 0x10, 0x20);
    ASSERT_NE(nullptr, hOpened);

    const char confirm[12] = {3, 0, 0, 0, 0, 0, 0, 0, 7};
    ASSERT_TRUE(MsgQSend(hOpened, confirm, sizeof(confirm), 0));
    EXPECT_FALSE(MsgQSend(hOpened, confirm, sizeof(confirm), 0));  // room for one message
    char received[16] = {};
    DWORD length = 0;
    ASSERT_TRUE(MsgQReceive(hCreated, received, sizeof(received), &length, 1000));
    EXPECT_EQ(12u, length);
    EXPECT_EQ(0, memcmp(confirm, received, sizeof(confirm)));
    EXPECT_FALSE(MsgQSend(hOpened, received, 13, 0));  // of at most 12 bytes
    EXPECT_EQ((DWORD)ERROR_BAD_LENGTH, GetLastError());
    MsgQClose(hOpened);
    MsgQClose(hCreated);
}

TEST(VersionCheck, NoticeTextForBothTablesAnUnreadablePathAndTheRoom) {
    EXPECT_EQ(L"Version incompatibility\n" + OwnPath() +
                  L" expects versions:\n6.x.\nBut bus.dll or busdbg.dll is of version 5.0",
              VersionText(nullptr, L"bus.dll or busdbg.dll", 1, kClient, 5, 0));
    EXPECT_EQ(L"Version incompatibility\n" + OwnPath() +
                  L" expects versions:\n4.x, 5.x, 6.x.\nBut busXXXXX.sys is of version 3.1",
              VersionText(nullptr, L"busXXXXX.sys", 3, kDriver, 3, 1));
    const std::wstring head = L"Version incompatibility\n expects versions:\n";
    EXPECT_EQ(head + L"6.x.\nBut bus.dll or busdbg.dll is of version 7.2",
              VersionText(kNotAModule, L"bus.dll or busdbg.dll", 1, kClient, 7, 2));
    // Cut inside the list, and a list that fits exactly: never past the room.
    EXPECT_EQ(head + L"4.x, 5.",
              VersionText(kNotAModule, L"x", 3, kDriver, 3, 1, (DWORD)head.size() + 8));
    EXPECT_EQ(head + L"4.x, 5.x, 6.x.\n",
              VersionText(kNotAModule, L"x", 3, kDriver, 3, 1, (DWORD)head.size() + 16));
    std::wstring longName(1000, L'n');
    EXPECT_EQ(779u, VersionText(nullptr, longName.c_str(), 1, kClient, 5, 0).size());
}

TEST(VersionCheck, AcceptedMajorPassesAnyOtherFailsAfterTheNotice) {
    EXPECT_TRUE(CheckVersion(nullptr, L"bus.dll or busdbg.dll", 1, kClient, 6, 12345));
    EXPECT_TRUE(CheckVersion(nullptr, L"busXXXXX.sys", 3, kDriver, 5, 0));
    // Headless, the notice returns at once.
    EXPECT_FALSE(CheckVersion(nullptr, L"busXXXXX.sys", 3, kDriver, 7, 1));
    EXPECT_EQ((DWORD)ERROR_REVISION_MISMATCH, GetLastError());
}

TEST(MsgQRefTable, ReferencesLeadBackToWideHandlesUntilRetiredAndAreNotReused) {
    const int kCount = 300;  // past any first table size
    DWORD refs[kCount];
    for (int i = 0; i < kCount; ++i) {
        refs[i] = IssueMsgQRef((MsgQHandle)(0x7ff000000000ull + 16 * i), 0x10 + i, 0x1);
        ASSERT_NE(0u, refs[i]) << i;
    }
    for (int i = 0; i < kCount; ++i)
        EXPECT_EQ((MsgQHandle)(0x7ff000000000ull + 16 * i), LookupMsgQRef(refs[i]));
    EXPECT_TRUE(RetireMsgQRef(refs[0]));
    EXPECT_EQ(nullptr, LookupMsgQRef(refs[0]));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_FALSE(RetireMsgQRef(refs[0]));
    // The freed slot gets a new value: a late request carrying the old one
    // does not reach the new owner's queue.
    DWORD again = IssueMsgQRef((MsgQHandle)0x7ff055555550ull, 0x10, 0x1);
    EXPECT_NE(refs[0], again);
    EXPECT_EQ(nullptr, LookupMsgQRef(refs[0]));
    // Each reference belongs to the unique id it was issued for, and a
    // retired one to nobody, even when its slot went to the same id again.
    EXPECT_TRUE(MsgQRefIsOf(refs[5], 0x15, 0x1));
    EXPECT_FALSE(MsgQRefIsOf(refs[5], 0x15, 0x2));
    EXPECT_FALSE(MsgQRefIsOf(refs[5], 0x16, 0x1));
    EXPECT_TRUE(MsgQRefIsOf(again, 0x10, 0x1));
    EXPECT_FALSE(MsgQRefIsOf(refs[0], 0x10, 0x1));
    for (DWORD never : {0u, 0xFFFFFFFFu}) EXPECT_EQ(nullptr, LookupMsgQRef(never));
    EXPECT_EQ(0u, IssueMsgQRef(nullptr, 0x1, 0x1));
    EXPECT_TRUE(RetireMsgQRef(again));
    for (int i = 1; i < kCount; ++i) EXPECT_TRUE(RetireMsgQRef(refs[i]));
}

TEST(RibexTraceModules, EachModuleGetsTheLevelMaskOfItsOwnName) {
    static const wchar_t *const kNames[TM_COUNT] = {L"main",
                                                    L"GetRibexNet",
                                                    L"GetRibexUniqueId",
                                                    L"ReAllocEventSpace",
                                                    L"ReAllocRemReplySpace",
                                                    L"RegisterRibexClient",
                                                    L"UnRegisterAllRibexClients",
                                                    L"UnRegisterRibexClient",
                                                    L"GetRemFrameIndex",
                                                    L"EnableRemFrame",
                                                    L"DisableRemFrame",
                                                    L"EnumRemFrame",
                                                    L"DisableAllRemFrames",
                                                    L"CheckSimCanBufferStore",
                                                    L"CanReadThread"};
    std::wstring program = OwnPath().substr(OwnPath().find_last_of(L'\\') + 1);
    SetEnvironmentVariableW(L"TRACESIZE", L"16 64");
    for (int i = 0; i < TM_COUNT; ++i)
        SetEnvironmentVariableW((program + L"::" + kNames[i]).c_str(),
                                std::to_wstring(0x100 + i).c_str());
    RegisterRibexTraceModules();
    for (int i = 0; i < TM_COUNT; ++i) {
        ASSERT_NE(nullptr, g_ribexTrace[i]) << i;
        EXPECT_EQ((DWORD)(0x100 + i), g_ribexTrace[i]->levelMask) << i;
    }
    ReleaseRibexTraceModules();
    for (int i = 0; i < TM_COUNT; ++i) EXPECT_EQ(nullptr, g_ribexTrace[i]) << i;
    for (int i = 0; i < TM_COUNT; ++i)
        SetEnvironmentVariableW((program + L"::" + kNames[i]).c_str(), nullptr);
    SetEnvironmentVariableW(L"TRACESIZE", nullptr);
}

}  // namespace
