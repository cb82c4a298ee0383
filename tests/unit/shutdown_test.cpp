// The restart that ends a batch run, with Windows' answers played by stand-ins: the NT
// family enables the shutdown privilege first; the Windows 95 family has no tokens
// (OpenProcessToken fails there) and asks for the restart straight away.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "app/windows/shutdown.h"
#include "tests/support/import_patch.h"
#include "tests/support/test_files.h"

namespace {

bool IsWin95Family() {
    return testfiles::PlatformFamily() == "95";
}

ImportPatch* g_pOpenProcessToken;
int g_tokenCalls, g_restartCalls;
UINT g_restartFlags = 0xFFFF;
DWORD g_restartReason = 0xFFFF;

BOOL WINAPI OpenProcessTokenAsTheFamilyDoes(HANDLE process, DWORD access, HANDLE* token) {
    ++g_tokenCalls;
    if (IsWin95Family()) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    return g_pOpenProcessToken->Original<decltype(&OpenProcessToken)>()(process, access, token);
}

BOOL WINAPI RecordRestart(UINT flags, DWORD reason) {
    ++g_restartCalls;
    g_restartFlags = flags;
    g_restartReason = reason;
    return TRUE;
}

// "Error while shutting down" would wait for a user: the test ends there, failed.
int WINAPI EndOnErrorBox(HWND, const char* text, const char*, UINT) {
    fprintf(stderr, "FAILED: the box \"%s\" was shown\n", text);
    fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return 0;
}

TEST(RestartComputer, AsksWindowsToRestartOnEitherFamily) {
    if (const char* family = getenv("TORVO_EXPECT_FAMILY")) {
        ASSERT_EQ(testfiles::PlatformFamily(), family);
    }
    ImportPatch token("advapi32.dll", "OpenProcessToken",
                      reinterpret_cast<void*>(OpenProcessTokenAsTheFamilyDoes));
    ImportPatch restart("user32.dll", "ExitWindowsEx", reinterpret_cast<void*>(RecordRestart));
    ImportPatch box("user32.dll", "MessageBoxA", reinterpret_cast<void*>(EndOnErrorBox));
    ASSERT_TRUE(token.IsActive() && restart.IsActive() && box.IsActive());
    g_pOpenProcessToken = &token;
    RestartComputer();
    EXPECT_EQ(g_tokenCalls, IsWin95Family() ? 0 : 1);
    EXPECT_EQ(g_restartCalls, 1);
    EXPECT_EQ(g_restartFlags, UINT(EWX_REBOOT));
    EXPECT_EQ(g_restartReason, 0u);
}

}  // namespace
