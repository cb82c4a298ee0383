// Walks the running processes: their ids and executable paths. The Windows 95 family
// has the Toolhelp functions of kernel32, the NT family PSAPI.DLL; every procedure is
// looked up by name, so one executable starts on both.
#pragma once

#include <windows.h>

#include <tlhelp32.h>

class CProcessEnum {
  public:
    CProcessEnum() {}
    // 1 and the next entry (the path only when it can be read); 0 at the end of the list.
    virtual int GetNext(DWORD* pProcessId, char* pszPath, int cchPath) = 0;
    // Goes back to the first entry of the captured list; always 1.
    virtual int Rewind() = 0;
    // Captures the processes running now.
    virtual int TakeSnapshot() = 0;
    virtual ~CProcessEnum() {}
};

// Without all three procedures the enumerator is unusable and hands out nothing.
class CToolhelpProcessEnum : public CProcessEnum {
  public:
    explicit CToolhelpProcessEnum(const char* pszKernelModule = "KERNEL32.DLL");
    ~CToolhelpProcessEnum() override;
    int GetNext(DWORD* pProcessId, char* pszPath, int cchPath) override;
    int Rewind() override;
    int TakeSnapshot() override;

  private:
    typedef HANDLE(WINAPI* CreateSnapshotProc)(DWORD, DWORD);
    typedef BOOL(WINAPI* WalkProc)(HANDLE, PROCESSENTRY32*);

    bool IsUsable() const { return m_entry.dwSize != 0; }

    HMODULE m_hKernel32;
    HANDLE m_hSnapshot;
    PROCESSENTRY32 m_entry;
    CreateSnapshotProc m_pfnCreateToolhelp32Snapshot;
    WalkProc m_pfnProcess32First;
    WalkProc m_pfnProcess32Next;
    int m_bFreeKernel32;
    int m_bHaveEntry;
};

class CPsapiProcessEnum : public CProcessEnum {
  public:
    enum { MAX_PROCESSES = 512 };

    explicit CPsapiProcessEnum(const char* pszLibrary = "PSAPI.DLL");
    ~CPsapiProcessEnum() override;
    int GetNext(DWORD* pProcessId, char* pszPath, int cchPath) override;
    int Rewind() override;
    int TakeSnapshot() override;

  private:
    typedef BOOL(WINAPI* EnumProcessesProc)(DWORD*, DWORD, DWORD*);
    typedef DWORD(WINAPI* ModuleFileNameProc)(HANDLE, HMODULE, char*, DWORD);
    typedef BOOL(WINAPI* EnumModulesProc)(HANDLE, HMODULE*, DWORD, DWORD*);

    bool IsUsable() const {
        return m_pfnEnumProcesses && m_pfnGetModuleFileNameExA && m_pfnEnumProcessModules;
    }
    void ReadExecutablePath(DWORD processId, char* pszPath, int cchPath);

    HMODULE m_hPsapi;
    EnumProcessesProc m_pfnEnumProcesses;
    ModuleFileNameProc m_pfnGetModuleFileNameExA;
    EnumModulesProc m_pfnEnumProcessModules;
    DWORD m_processIds[MAX_PROCESSES];
    DWORD m_processCount;
    DWORD m_nextIndex;
};

// Picks the enumerator that suits the running system; without one it hands out nothing.
class CProcessList {
  public:
    CProcessList();
    // For a given platform id (1: Windows 95 family, 2: NT family, anything else: none).
    explicit CProcessList(DWORD dwPlatformId);
    virtual ~CProcessList();
    int Start();
    int GetNext(DWORD* pProcessId, char* pszPath, int cchPath);

  private:
    CProcessList(const CProcessList&) = delete;
    CProcessList& operator=(const CProcessList&) = delete;
    void Create(DWORD dwPlatformId);

    CProcessEnum* m_pEnum;
};
