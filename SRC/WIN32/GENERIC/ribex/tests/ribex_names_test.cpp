// Object names, reply-queue wrappers, the version notice text and the
// trace module table of the server.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "msgq.h"
#include "msgq_ref_table.h"
#include "ribex_names.h"
#include "ribex_trace_modules.h"
#include "test_names.h"

namespace {

// Takes a heap name from the names functions and frees it.
std::wstring Take(wchar_t *pName) {
    if (pName == nullptr) return L"<null>";
    std::wstring s(pName);
    HeapFree(GetProcessHeap(), 0, pName);
    return s;
}

std::wstring OwnPath() {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, n);
}

std::wstring VersionText(HMODULE hModule, const wchar_t *otherName, DWORD count,
                         const DWORD *accepted, DWORD major, DWORD minor, DWORD textChars = 780) {
    std::wstring text(textChars + 8, L'#');
    BuildVersionMessage(hModule, otherName, count, accepted, major, minor, &text[0], textChars);
    EXPECT_EQ(L'#', text[textChars]) << "wrote past the room it was given";
    return std::wstring(text.c_str());
}

const DWORD kClientVersions[] = {6};
const DWORD kDriverVersions[] = {4, 5, 6};

TEST(CreateUniqueName, FormatsPrefixThenHighAndLowAsEightLowercaseDigitsThenSuffix) {
    SetLastError(123);
    EXPECT_EQ(L"CAN100001a2b00000005EVT", Take(CreateUniqueName(L"CAN1", 0x1a2b, 5, L"EVT")));
    EXPECT_EQ(0u, GetLastError());
    EXPECT_EQ(L"CAN10000000000000000FMO", Take(CreateUniqueName(L"CAN1", 0, 0, L"FMO")));
    EXPECT_EQ(L"netabcdef01ffffffff", Take(CreateUniqueName(L"net", 0xABCDEF01, 0xFFFFFFFF, L"")));
    EXPECT_EQ(L"0000000100000002EVT", Take(CreateUniqueName(L"", 1, 2, L"EVT")));
}

TEST(CreateUniqueName, LongNamesGetRoomForEveryCharacter) {
    std::wstring prefix(300, L'p'), suffix(200, L's');
    wchar_t *pName = CreateUniqueName(prefix.c_str(), 0x12345678, 0x9abcdef0, suffix.c_str());
    ASSERT_NE(nullptr, pName);
    EXPECT_GE(HeapSize(GetProcessHeap(), 0, pName), (prefix.size() + 16 + suffix.size() + 1) * 2);
    EXPECT_EQ(prefix + L"123456789abcdef0" + suffix, Take(pName));
}

TEST(CreateUniqueName, MissingStringIsRefused) {
    EXPECT_EQ(nullptr, CreateUniqueName(nullptr, 1, 2, L"EVT"));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_EQ(nullptr, CreateUniqueName(L"net", 1, 2, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
}

TEST(CreateDevicePath, PutsTheDevicePrefixBeforeTheName) {
    SetLastError(55);
    EXPECT_EQ(L"\\\\.\\CAN1", Take(CreateDevicePath(L"CAN1")));
    EXPECT_EQ(0u, GetLastError());
    EXPECT_EQ(L"\\\\.\\", Take(CreateDevicePath(L"")));
    EXPECT_EQ(nullptr, CreateDevicePath(nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
}

TEST(ReplyQueueWrappers, OpenMsgQReachesTheQueueThatCreateMsgQMadeForTheSameId) {
    std::wstring net = ribex_test::UniqueName(L"wrapnet");
    MsgQHandle hCreated = CreateMsgQ(net.c_str(), 0x10, 0x20, 12);
    ASSERT_NE(nullptr, hCreated);
    EXPECT_EQ(0u, GetLastError());

    MsgQHandle hOpened = OpenMsgQ(net.c_str(), 0x10, 0x20);
    ASSERT_NE(nullptr, hOpened);
    EXPECT_EQ(0u, GetLastError());
    // Another unique id is another queue.
    EXPECT_EQ(nullptr, OpenMsgQ(net.c_str(), 0x10, 0x21));
    EXPECT_EQ((DWORD)ERROR_TIMEOUT, GetLastError());

    const char confirm[12] = {3, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0};
    ASSERT_TRUE(MsgQSend(hOpened, confirm, sizeof(confirm), 0));
    // Room for one message only, of at most 12 bytes.
    EXPECT_FALSE(MsgQSend(hOpened, confirm, sizeof(confirm), 0));
    EXPECT_EQ((DWORD)ERROR_TIMEOUT, GetLastError());
    char received[16] = {};
    DWORD length = 0;
    ASSERT_TRUE(MsgQReceive(hCreated, received, sizeof(received), &length, 1000));
    EXPECT_EQ(12u, length);
    EXPECT_EQ(0, memcmp(confirm, received, sizeof(confirm)));
    EXPECT_FALSE(MsgQSend(hOpened, received, 13, 0));
    EXPECT_EQ((DWORD)ERROR_BAD_LENGTH, GetLastError());

    EXPECT_TRUE(MsgQClose(hOpened));
    EXPECT_TRUE(MsgQClose(hCreated));
}

TEST(ReplyQueueWrappers, CreateMsgQRefusesAnExistingQueueAndLeavesItIntact) {
    std::wstring net = ribex_test::UniqueName(L"wrapdup");
    MsgQHandle hFirst = CreateMsgQ(net.c_str(), 1, 2, 12);
    ASSERT_NE(nullptr, hFirst);
    const char message[4] = {1, 2, 3, 4};
    ASSERT_TRUE(MsgQSend(hFirst, message, sizeof(message), 0));

    EXPECT_EQ(nullptr, CreateMsgQ(net.c_str(), 1, 2, 12));
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());

    char received[12] = {};
    DWORD length = 0;
    ASSERT_TRUE(MsgQReceive(hFirst, received, sizeof(received), &length, 1000));
    EXPECT_EQ(4u, length);
    EXPECT_EQ(0, memcmp(message, received, 4));
    EXPECT_TRUE(MsgQClose(hFirst));
}

TEST(ReplyQueueWrappers, OpenMsgQOfAMissingQueueFailsWithTimeout) {
    std::wstring net = ribex_test::UniqueName(L"wrapnone");
    SetLastError(0);
    EXPECT_EQ(nullptr, OpenMsgQ(net.c_str(), 1, 1));
    EXPECT_EQ((DWORD)ERROR_TIMEOUT, GetLastError());
}

TEST(VersionMessage, ClientTableListsSixAndNamesTheClientLibrary) {
    EXPECT_EQ(L"Version incompatibility\n" + OwnPath() +
                  L" expects versions:\n6.x.\nBut bus.dll or busdbg.dll is of version 5.0",
              VersionText(nullptr, L"bus.dll or busdbg.dll", 1, kClientVersions, 5, 0));
}

TEST(VersionMessage, DriverTableListsAllThreeInOrder) {
    EXPECT_EQ(L"Version incompatibility\n" + OwnPath() +
                  L" expects versions:\n4.x, 5.x, 6.x.\nBut busXXXXX.sys is of version 3.1",
              VersionText(nullptr, L"busXXXXX.sys", 3, kDriverVersions, 3, 1));
    EXPECT_EQ(L"Version incompatibility\n" + OwnPath() +
                  L" expects versions:\n4.x, 5.x, 6.x.\nBut busXXXXX.sys is of version 4294967295.12",
              VersionText(nullptr, L"busXXXXX.sys", 3, kDriverVersions, 0xFFFFFFFF, 12));
}

TEST(VersionMessage, UnreadableModulePathLeavesTheLineWithALeadingBlank) {
    HMODULE notAModule = (HMODULE)(ULONG_PTR)0x12340000;
    EXPECT_EQ(L"Version incompatibility\n expects versions:\n6.x.\nBut bus.dll or busdbg.dll is of version 7.2",
              VersionText(notAModule, L"bus.dll or busdbg.dll", 1, kClientVersions, 7, 2));
}

TEST(VersionMessage, TextIsCutAtTheRoomAndAlwaysTerminated) {
    HMODULE notAModule = (HMODULE)(ULONG_PTR)0x12340000;
    const std::wstring head = L"Version incompatibility\n expects versions:\n";
    // The room ends inside the version list: what fits stays, nothing after.
    EXPECT_EQ(head + L"4.x, 5.",
              VersionText(notAModule, L"busXXXXX.sys", 3, kDriverVersions, 3, 1,
                          (DWORD)(head.size() + 7 + 1)));
    // The list fits exactly: the ", " taken back makes room for ".\n".
    EXPECT_EQ(head + L"4.x, 5.x, 6.x.\n",
              VersionText(notAModule, L"busXXXXX.sys", 3, kDriverVersions, 3, 1,
                          (DWORD)(head.size() + 15 + 1)));
    // A very long name fills the 780-character buffer to 779 characters.
    std::wstring longName(1000, L'n');
    std::wstring text = VersionText(nullptr, longName.c_str(), 1, kClientVersions, 5, 0);
    EXPECT_EQ(779u, text.size());
    EXPECT_EQ(L'n', text.back());
    EXPECT_EQ(L"", VersionText(nullptr, L"x", 1, kClientVersions, 5, 0, 1));
}

TEST(CheckVersion, AcceptedMajorPassesForAnyMinorWithoutNotice) {
    SetLastError(77);
    EXPECT_TRUE(CheckVersion(nullptr, L"bus.dll or busdbg.dll", 1, kClientVersions, 6, 12345));
    EXPECT_EQ(0u, GetLastError());
    EXPECT_TRUE(CheckVersion(nullptr, L"busXXXXX.sys", 3, kDriverVersions, 5, 0));
    EXPECT_EQ(0u, GetLastError());
}

TEST(CheckVersion, OtherMajorFailsWithRevisionMismatchAfterTheNotice) {
    // Headless, the notice returns at once (each still costs Wine ~2 s).
    SetLastError(0);
    EXPECT_FALSE(CheckVersion(nullptr, L"busXXXXX.sys", 3, kDriverVersions, 7, 1));
    EXPECT_EQ((DWORD)ERROR_REVISION_MISMATCH, GetLastError());
    SetLastError(0);
    EXPECT_FALSE(CheckVersion(nullptr, L"bus.dll or busdbg.dll", 1, kClientVersions, 5, 0));
    EXPECT_EQ((DWORD)ERROR_REVISION_MISMATCH, GetLastError());
}

MsgQHandle FakeHandle(ULONG_PTR value) { return (MsgQHandle)value; }

TEST(MsgQRefTable, IssuedReferencesLeadBackToTheirHandlesUntilRetired) {
    // Wide handle values must survive the 32-bit reference.
    MsgQHandle hA = FakeHandle(0x7ff012345670ull), hB = FakeHandle(0x7ff0abcdef00ull);
    DWORD refA = IssueMsgQRef(hA);
    DWORD refB = IssueMsgQRef(hB);
    ASSERT_NE(0u, refA);
    ASSERT_NE(0u, refB);
    EXPECT_NE(refA, refB);
    EXPECT_EQ(hA, LookupMsgQRef(refA));
    EXPECT_EQ(hB, LookupMsgQRef(refB));

    EXPECT_TRUE(RetireMsgQRef(refA));
    EXPECT_EQ(nullptr, LookupMsgQRef(refA));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_FALSE(RetireMsgQRef(refA));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_EQ(hB, LookupMsgQRef(refB));

    // The freed slot is used again under a new value: the old value, sent
    // late by a client, does not reach the new owner's queue.
    MsgQHandle hC = FakeHandle(0x7ff055555550ull);
    DWORD refC = IssueMsgQRef(hC);
    ASSERT_NE(0u, refC);
    EXPECT_NE(refA, refC);
    EXPECT_EQ(nullptr, LookupMsgQRef(refA));
    EXPECT_EQ(hC, LookupMsgQRef(refC));
    EXPECT_TRUE(RetireMsgQRef(refB));
    EXPECT_TRUE(RetireMsgQRef(refC));
}

TEST(MsgQRefTable, ValuesNeverIssuedAreUnknown) {
    EXPECT_EQ(nullptr, LookupMsgQRef(0));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_EQ(nullptr, LookupMsgQRef(0xFFFFFFFF));
    EXPECT_EQ(nullptr, LookupMsgQRef(0x00010200));
    EXPECT_EQ(0u, IssueMsgQRef(nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
}

TEST(MsgQRefTable, GrowsForManyClientsAndKeepsEveryEntry) {
    const int kCount = 300;
    DWORD refs[kCount];
    for (int i = 0; i < kCount; ++i) {
        refs[i] = IssueMsgQRef(FakeHandle(0x10000 + 16 * i));
        ASSERT_NE(0u, refs[i]) << i;
    }
    for (int i = 0; i < kCount; ++i) EXPECT_EQ(FakeHandle(0x10000 + 16 * i), LookupMsgQRef(refs[i]));
    for (int i = 0; i < kCount; ++i) EXPECT_TRUE(RetireMsgQRef(refs[i]));
}

TEST(RibexTraceModules, EachModuleGetsTheLevelMaskOfItsOwnName) {
    static const wchar_t *const kNames[TM_COUNT] = {
        L"main", L"GetRibexNet", L"GetRibexUniqueId", L"ReAllocEventSpace",
        L"ReAllocRemReplySpace", L"RegisterRibexClient", L"UnRegisterAllRibexClients",
        L"UnRegisterRibexClient", L"GetRemFrameIndex", L"EnableRemFrame", L"DisableRemFrame",
        L"EnumRemFrame", L"DisableAllRemFrames", L"CheckSimCanBufferStore", L"CanReadThread"};
    std::wstring program = OwnPath();
    program = program.substr(program.find_last_of(L'\\') + 1);
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
