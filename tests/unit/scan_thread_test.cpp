// Waiting for the scan's worker once the dialog has closed: what the worker still sends
// is carried out, and a handle that cannot be waited on does not hold the program.
#include <gtest/gtest.h>
#include <windows.h>

#include "ui/cleaner_dlg.h"

namespace {

DWORD g_carriedOutBy;

LRESULT CALLBACK RecordRequest(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_APP) return DefWindowProcA(window, message, wParam, lParam);
    g_carriedOutBy = GetCurrentThreadId();
    return 1;
}

DWORD WINAPI SendRequestAndEnd(void* window) {
    SendMessageA(static_cast<HWND>(window), WM_APP, 0, 0);
    return 0;
}

DWORD WINAPI WaitForNoThread(void*) {
    WaitForThread(nullptr);
    return 0;
}

TEST(WaitForThread, CarriesOutWhatTheThreadSendsAndEndsWithIt) {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = RecordRequest;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "TorvoRequestRecorder";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowExA(0, windowClass.lpszClassName, "", WS_POPUP, 0, 0, 10, 10, nullptr,
                                  nullptr, windowClass.hInstance, nullptr);
    ASSERT_NE(window, nullptr);
    HANDLE worker = CreateThread(nullptr, 0, SendRequestAndEnd, window, 0, nullptr);
    ASSERT_NE(worker, nullptr);
    WaitForThread(worker);
    EXPECT_EQ(WaitForSingleObject(worker, 0), WAIT_OBJECT_0);
    EXPECT_EQ(g_carriedOutBy, GetCurrentThreadId());
    CloseHandle(worker);
    DestroyWindow(window);
}

TEST(WaitForThread, ReturnsWhenTheWaitFails) {
    HANDLE waiter = CreateThread(nullptr, 0, WaitForNoThread, nullptr, 0, nullptr);
    ASSERT_NE(waiter, nullptr);
    EXPECT_EQ(WaitForSingleObject(waiter, 5000), WAIT_OBJECT_0);
    CloseHandle(waiter);
}

}  // namespace
