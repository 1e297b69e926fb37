// Faults that only a damaged process can cause: the sender repair cannot
// release the free-slot semaphore, and a local handle whose queue is gone.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "msgq.h"
#include "msgq_raw_view.h"
#include "msgq_record.h"
#include "test_names.h"

using ribex_test::UniqueName;

namespace {

// MessageBoxW of this program, caught through its import table, so the test
// sees the recovery notice (headless Wine would return at once anyway).
struct CapturedBox {
    int calls = 0;
    std::wstring text, title;
    UINT style = 0;
    HWND owner = (HWND)1;
} box;

int WINAPI CaptureMessageBox(HWND owner, const wchar_t *text, const wchar_t *title, UINT style) {
    box.calls++;
    box.owner = owner;
    box.text = text ? text : L"";
    box.title = title ? title : L"";
    box.style = style;
    return IDOK;
}

bool RedirectImport(const char *dll, const char *function, void *replacement) {
    auto *base = reinterpret_cast<BYTE *>(GetModuleHandleW(nullptr));
    auto *nt = reinterpret_cast<IMAGE_NT_HEADERS *>(base + reinterpret_cast<IMAGE_DOS_HEADER *>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY &dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto *imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + dir.VirtualAddress); imp->Name; imp++) {
        if (_stricmp(reinterpret_cast<char *>(base + imp->Name), dll) != 0) continue;
        auto *names = reinterpret_cast<IMAGE_THUNK_DATA *>(base + imp->OriginalFirstThunk);
        auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + imp->FirstThunk);
        for (; names->u1.AddressOfData; names++, slots++) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            auto *byName = reinterpret_cast<IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            if (strcmp(reinterpret_cast<char *>(byName->Name), function) != 0) continue;
            DWORD protect;
            VirtualProtect(&slots->u1.Function, sizeof(void *), PAGE_READWRITE, &protect);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof(void *), protect, &protect);
            return true;
        }
    }
    return false;
}

// A thread that takes the mutex and ends without releasing it.
void AbandonMutex(const std::wstring &name) {
    HANDLE hThread = CreateThread(
        nullptr, 0,
        [](void *p) -> DWORD {
            HANDLE h = OpenMutexW(MUTEX_ALL_ACCESS, FALSE, static_cast<std::wstring *>(p)->c_str());
            if (h) WaitForSingleObject(h, INFINITE);
            return 0;  // the handle stays open, the ownership is abandoned
        },
        const_cast<std::wstring *>(&name), 0, nullptr);
    WaitForSingleObject(hThread, INFINITE);
    CloseHandle(hThread);
}

TEST(MsgQFaults, UnrecoverableFreeCountShowsTheRecoveryNoticeAndFailsTheSend) {
    ASSERT_TRUE(RedirectImport("user32.dll", "MessageBoxW", (void *)CaptureMessageBox));
    const std::wstring name = UniqueName(L"mqnotice");
    MsgQHandle q = MsgQCreate(name.c_str(), 2, 8, MSGQ_NAMED);
    ASSERT_NE(q, nullptr);
    AbandonMutex(L"MsgQ" + name + L"MTX");
    // The free-slot semaphore handle of this process is gone.
    HANDLE hSpare = OpenSemaphoreW(SEMAPHORE_ALL_ACCESS, FALSE, (L"MsgQ" + name + L"SEM").c_str());
    ASSERT_NE(hSpare, nullptr);
    ASSERT_TRUE(CloseHandle(q->hFreeSem));

    EXPECT_FALSE(MsgQSend(q, "x", 1, 0));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    ASSERT_EQ(box.calls, 1);
    EXPECT_EQ(box.text,
              L"Failed to recover message queue.Avoid using TerminateProcess/TerminateThread."
              L"(ReleaseSemaphore returned 6).");
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    EXPECT_EQ(box.title, exe);
    EXPECT_EQ(box.style, (UINT)(MB_ICONERROR | MB_OK));
    EXPECT_EQ(box.owner, nullptr);
    EXPECT_TRUE(RawMutexIsFree(L"MsgQ" + name + L"MTX"));

    q->hFreeSem = hSpare;
    EXPECT_TRUE(MsgQClose(q));
}

TEST(MsgQFaults, LocalHandleWhoseQueueIsGoneCannotBeClosed) {
    MsgQHandle q = MsgQCreate(nullptr, 2, 8, 0);
    ASSERT_NE(q, nullptr);
    MsgQBlock *block = q->pShared;
    MsgQBlock stray{};
    q->pShared = &stray;
    EXPECT_FALSE(MsgQClose(q));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INVALID_HANDLE);
    // The failed close left the handle open.
    q->pShared = block;
    EXPECT_TRUE(MsgQSend(q, "x", 1, 0));
    EXPECT_TRUE(MsgQClose(q));
}

}  // namespace
