// ribexclient.dll loaded at run time, as C#, Python ctypes or LabVIEW load
// it: the library's background thread must not outlive the code it runs.
// The test links nothing of the library; it finds the functions by name.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "msgq.h"
#include "ribex_client.h"
#include "server_marker.h"
#include "sim_can_message.h"
#include "test_names.h"

namespace {

typedef BOOL(WINAPI *OpenNetFn)(const wchar_t *, const RibexClientOptions *, RibexClientNet **);
typedef BOOL(WINAPI *CloseNetFn)(RibexClientNet *);

bool WaitUntilUnloaded(const wchar_t *module, DWORD timeoutMs) {
    return ribex_test::WaitUntil([&] { return GetModuleHandleW(module) == nullptr; }, timeoutMs,
                                 20);
}

volatile LONG g_faults;

// Sees a fault of any thread before anything else does: under Wine a thread
// that runs into unmapped code dies alone, the process goes on.
LONG CALLBACK CountFault(EXCEPTION_POINTERS *pInfo) {
    DWORD code = pInfo->ExceptionRecord->ExceptionCode;
    if (code == EXCEPTION_ACCESS_VIOLATION || code == EXCEPTION_STACK_OVERFLOW)
        InterlockedIncrement(&g_faults);
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

// FreeLibrary right after the last close used to unmap the DLL under its
// sleeping watcher thread, which crashed the process when it woke.
TEST(ClientUnload, FreeLibraryAfterTheLastCloseLeavesNoThreadInUnmappedCode) {
    std::wstring queueName = ribex_test::UniqueName(L"unloadq");
    std::wstring net = ribex_test::UniqueName(L"CAN").substr(0, 40);
    MsgQHandle hPeer = MsgQCreate(net.c_str(), 64, sizeof(SimCanMsg), MSGQ_NAMED);
    ASSERT_NE(nullptr, hPeer);
    PVOID hHandler = AddVectoredExceptionHandler(1, CountFault);
    ASSERT_NE(nullptr, hHandler);

    for (int round = 0; round < 2; ++round) {  // the second load starts a watcher again
        HMODULE hDll = LoadLibraryW(L"ribexclient.dll");
        ASSERT_NE(nullptr, hDll) << GetLastError();
        OpenNetFn open = (OpenNetFn)(void *)GetProcAddress(hDll, "RibexOpenNet");
        CloseNetFn close = (CloseNetFn)(void *)GetProcAddress(hDll, "RibexCloseNet");
        ASSERT_TRUE(open != nullptr && close != nullptr);
        RibexClientOptions options = {};
        options.serverQueueName = queueName.c_str();
        RibexClientNet *pNet = nullptr;
        ASSERT_TRUE(open(net.c_str(), &options, &pNet)) << GetLastError();
        ASSERT_TRUE(close(pNet)) << GetLastError();
        ASSERT_TRUE(FreeLibrary(hDll));
        // The watcher lets the module go when it ends; this process is
        // still here to see it.
        EXPECT_TRUE(WaitUntilUnloaded(L"ribexclient.dll", 10000)) << "the DLL stayed loaded";
        // long past the watcher's next wake-up, had it been left running
        EXPECT_TRUE(ribex_test::WaitForServerEnd(15000)) << "the server did not end";
    }
    RemoveVectoredExceptionHandler(hHandler);
    EXPECT_EQ(0, g_faults) << "a thread of the library ran after the DLL was unloaded";
    MsgQClose(hPeer);
}
