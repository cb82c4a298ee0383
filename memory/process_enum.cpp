#include "memory/process_enum.h"

#include <cstring>
#include <new>

namespace {

template <typename Proc>
Proc Lookup(HMODULE module, const char* name) {
    return reinterpret_cast<Proc>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

CToolhelpProcessEnum::CToolhelpProcessEnum(const char* pszKernelModule)
    : m_hKernel32(GetModuleHandleA(pszKernelModule)),
      m_hSnapshot(nullptr),
      m_entry(),
      m_pfnCreateToolhelp32Snapshot(nullptr),
      m_pfnProcess32First(nullptr),
      m_pfnProcess32Next(nullptr),
      m_bFreeKernel32(0),
      m_bHaveEntry(0) {
    if (!m_hKernel32) {
        m_hKernel32 = LoadLibraryA("kernel32.dll");
        if (!m_hKernel32) return;
        m_bFreeKernel32 = 1;
    }
    m_pfnCreateToolhelp32Snapshot =
        Lookup<CreateSnapshotProc>(m_hKernel32, "CreateToolhelp32Snapshot");
    m_pfnProcess32First = Lookup<WalkProc>(m_hKernel32, "Process32First");
    m_pfnProcess32Next = Lookup<WalkProc>(m_hKernel32, "Process32Next");
    if (m_pfnCreateToolhelp32Snapshot && m_pfnProcess32First && m_pfnProcess32Next)
        m_entry.dwSize = sizeof(PROCESSENTRY32);
}

CToolhelpProcessEnum::~CToolhelpProcessEnum() {
    if (m_hSnapshot && m_hSnapshot != INVALID_HANDLE_VALUE) CloseHandle(m_hSnapshot);
    if (m_bFreeKernel32) FreeLibrary(m_hKernel32);
}

int CToolhelpProcessEnum::TakeSnapshot() {
    if (!IsUsable()) return 0;
    if (m_hSnapshot && m_hSnapshot != INVALID_HANDLE_VALUE) CloseHandle(m_hSnapshot);
    m_hSnapshot = m_pfnCreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    return m_hSnapshot != INVALID_HANDLE_VALUE;
}

int CToolhelpProcessEnum::Rewind() {
    m_bHaveEntry = IsUsable() && m_hSnapshot ? m_pfnProcess32First(m_hSnapshot, &m_entry) : 0;
    return 1;
}

// The path is a bounded copy: zeros fill the rest of the buffer, and a name that fills
// all of it gets no terminator.
int CToolhelpProcessEnum::GetNext(DWORD* pProcessId, char* pszPath, int cchPath) {
    if (!m_bHaveEntry) return 0;
    *pProcessId = m_entry.th32ProcessID;
    if (cchPath > 0) strncpy(pszPath, m_entry.szExeFile, size_t(cchPath));
    m_bHaveEntry = m_pfnProcess32Next(m_hSnapshot, &m_entry);
    return 1;
}

CPsapiProcessEnum::CPsapiProcessEnum(const char* pszLibrary)
    : m_hPsapi(LoadLibraryA(pszLibrary)),
      m_pfnEnumProcesses(nullptr),
      m_pfnGetModuleFileNameExA(nullptr),
      m_pfnEnumProcessModules(nullptr),
      m_processIds(),
      m_processCount(0),
      m_nextIndex(0) {
    if (!m_hPsapi) return;
    m_pfnEnumProcesses = Lookup<EnumProcessesProc>(m_hPsapi, "EnumProcesses");
    m_pfnGetModuleFileNameExA = Lookup<ModuleFileNameProc>(m_hPsapi, "GetModuleFileNameExA");
    m_pfnEnumProcessModules = Lookup<EnumModulesProc>(m_hPsapi, "EnumProcessModules");
}

CPsapiProcessEnum::~CPsapiProcessEnum() {
    if (m_hPsapi) FreeLibrary(m_hPsapi);
}

int CPsapiProcessEnum::TakeSnapshot() {
    DWORD bytes = 0;
    m_processCount = 0;
    if (IsUsable() && m_pfnEnumProcesses(m_processIds, sizeof m_processIds, &bytes))
        m_processCount = bytes >> 2;
    return m_processCount != 0;
}

int CPsapiProcessEnum::Rewind() {
    m_nextIndex = 0;
    return 1;
}

// A process that cannot be opened is still handed out, with the buffer left as it was.
int CPsapiProcessEnum::GetNext(DWORD* pProcessId, char* pszPath, int cchPath) {
    if (m_nextIndex >= m_processCount) return 0;
    *pProcessId = m_processIds[m_nextIndex++];
    ReadExecutablePath(*pProcessId, pszPath, cchPath);
    return 1;
}

void CPsapiProcessEnum::ReadExecutablePath(DWORD processId, char* pszPath, int cchPath) {
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (!process) return;
    HMODULE modules[64];
    DWORD bytes = 0;
    if (m_pfnEnumProcessModules(process, modules, sizeof modules, &bytes) && bytes > 0)
        m_pfnGetModuleFileNameExA(process, modules[0], pszPath, DWORD(cchPath));
    CloseHandle(process);
}

CProcessList::CProcessList() : m_pEnum(nullptr) {
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    Create(version.dwPlatformId);
}

CProcessList::CProcessList(DWORD dwPlatformId) : m_pEnum(nullptr) {
    Create(dwPlatformId);
}

void CProcessList::Create(DWORD dwPlatformId) {
    if (dwPlatformId == VER_PLATFORM_WIN32_WINDOWS)
        m_pEnum = new (std::nothrow) CToolhelpProcessEnum;
    else if (dwPlatformId == VER_PLATFORM_WIN32_NT)
        m_pEnum = new (std::nothrow) CPsapiProcessEnum;
}

CProcessList::~CProcessList() {
    delete m_pEnum;
}

int CProcessList::Start() {
    if (!m_pEnum) return 1;
    m_pEnum->TakeSnapshot();
    return m_pEnum->Rewind();
}

int CProcessList::GetNext(DWORD* pProcessId, char* pszPath, int cchPath) {
    return m_pEnum ? m_pEnum->GetNext(pProcessId, pszPath, cchPath) : 0;
}
