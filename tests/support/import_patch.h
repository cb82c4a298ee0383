// For Windows tests: while the object lives, this program's calls of one imported system
// function go to a stand-in, so that a test can play a system that behaves otherwise
// (a Windows 95 call that fails, a restart that must not happen).
#pragma once

#include <windows.h>

class ImportPatch {
  public:
    ImportPatch(const char* dll, const char* function, void* replacement) {
        m_slot = FindSlot(dll, function);
        if (!m_slot) return;
        m_original = *m_slot;
        Write(replacement);
    }
    ~ImportPatch() {
        if (m_slot) Write(m_original);
    }
    bool IsActive() const { return m_slot != nullptr; }
    // The system's own function, for a stand-in that calls through.
    template <typename Function>
    Function Original() const {
        return reinterpret_cast<Function>(m_original);
    }

  private:
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

    // The import address table entry of `function` from `dll` in the program's image.
    static void** FindSlot(const char* dll, const char* function) {
        BYTE* base = reinterpret_cast<BYTE*>(GetModuleHandleA(nullptr));
        IMAGE_NT_HEADERS* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(
            base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
        IMAGE_DATA_DIRECTORY& imports =
            nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
        for (; entry->Name; ++entry) {
            if (lstrcmpiA(reinterpret_cast<char*>(base + entry->Name), dll) != 0) continue;
            auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
            auto* slots = reinterpret_cast<void**>(base + entry->FirstThunk);
            for (; names->u1.AddressOfData; ++names, ++slots) {
                if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
                auto* byName =
                    reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
                if (!lstrcmpA(reinterpret_cast<char*>(byName->Name), function)) return slots;
            }
        }
        return nullptr;
    }
    void Write(void* address) {
        DWORD protection;
        VirtualProtect(m_slot, sizeof *m_slot, PAGE_READWRITE, &protection);
        *m_slot = address;
        VirtualProtect(m_slot, sizeof *m_slot, protection, &protection);
    }

    void** m_slot = nullptr;
    void* m_original = nullptr;
};
