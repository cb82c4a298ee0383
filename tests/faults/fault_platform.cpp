#include "tests/faults/fault_platform.h"

#include <unistd.h>

PlatFile FaultPlatform::CreateWork(const char* path) {
    return Fails() ? PLAT_NO_FILE : m_real.CreateWork(path);
}

PlatFile FaultPlatform::CopyToWork(const char* from, const char* to) {
    if (!Fails()) return m_real.CopyToWork(from, to);
    PlatFile copy = m_real.CopyToWork(from, to);
    if (copy == PLAT_NO_FILE) return PLAT_NO_FILE;
    (void)!ftruncate(int(copy), 100);
    m_real.Close(copy);
    return PLAT_NO_FILE;
}

bool FaultPlatform::WriteAll(PlatFile file, const void* data, uint32_t count) {
    if (!Fails()) return m_real.WriteAll(file, data, count);
    m_real.WriteAll(file, data, count / 2);
    return false;
}

bool FaultPlatform::CutTail(PlatFile file, int32_t count) {
    return !Fails() && m_real.CutTail(file, count);
}

bool FaultPlatform::FlushFile(PlatFile file) {
    return !Fails() && m_real.FlushFile(file);
}

bool FaultPlatform::Copy(const char* from, const char* to) {
    if (!Fails()) return m_real.Copy(from, to);
    if (m_real.Copy(from, to)) truncate(to, 100);
    return false;
}

void FaultPlatform::SetAttributes(const char* path, const PlatAttributes& attributes) {
    if (!Fails()) m_real.SetAttributes(path, attributes);
}

void FaultPlatform::SetNormalAttributes(const char* path) {
    if (!Fails()) m_real.SetNormalAttributes(path);
}

bool FaultPlatform::Remove(const char* path) {
    return !Fails() && m_real.Remove(path);
}

bool FaultPlatform::Rename(const char* from, const char* to) {
    return !Fails() && m_real.Rename(from, to);
}

bool FaultPlatform::LockFileChanges() {
    return !Fails() && m_real.LockFileChanges();
}

bool FaultPlatform::ReadRestartList(std::vector<RestartEntry>* entries) {
    return !Fails() && m_real.ReadRestartList(entries);
}

bool FaultPlatform::WriteRestartList(const std::vector<RestartEntry>& entries) {
    return !Fails() && m_real.WriteRestartList(entries);
}

PlatImage* FaultPlatform::LoadExecutable(const char* path) {
    return Fails() ? nullptr : m_real.LoadExecutable(path);
}

PlatResourceLookup FaultPlatform::FindResourceData(PlatImage* image, uint16_t type, uint16_t name,
                                                   const unsigned char** data, uint32_t* size) {
    return Fails() ? PLAT_RESOURCE_BROKEN : m_real.FindResourceData(image, type, name, data, size);
}
