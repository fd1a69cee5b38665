// Redirects one function that this test binary imports (dll!name) to a
// replacement while the patch lives, so that a test can see what the code
// under test passes to the system: Wine keeps no security descriptor on
// files, so the descriptor given to CreateFileW or CreateDirectoryW can be
// checked only on its way in.
#pragma once

#include <windows.h>

#include <cstring>

namespace winetest {

class ImportPatch {
public:
    ImportPatch(const char* dll, const char* function, void* replacement)
    {
        auto* base = reinterpret_cast<BYTE*>(GetModuleHandleW(nullptr));
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        auto* import = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress);
        for (; import->Name != 0 && slot_ == nullptr; ++import) {
            if (lstrcmpiA(reinterpret_cast<const char*>(base + import->Name), dll) != 0)
                continue;
            auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->OriginalFirstThunk);
            auto* addresses = reinterpret_cast<IMAGE_THUNK_DATA*>(base + import->FirstThunk);
            for (; names->u1.AddressOfData != 0; ++names, ++addresses) {
                if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                    continue;
                const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
                if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0) {
                    slot_ = reinterpret_cast<void**>(&addresses->u1.Function);
                    break;
                }
            }
        }
        if (slot_ != nullptr) {
            original_ = *slot_;
            Write(replacement);
        }
    }
    ~ImportPatch()
    {
        if (slot_ != nullptr)
            Write(original_);
    }
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

    bool active() const { return slot_ != nullptr; }
    void* original() const { return original_; }

private:
    void Write(void* value)
    {
        DWORD protection = 0;
        VirtualProtect(slot_, sizeof(void*), PAGE_READWRITE, &protection);
        *slot_ = value;
        VirtualProtect(slot_, sizeof(void*), protection, &protection);
    }

    void** slot_ = nullptr;
    void* original_ = nullptr;
};

} // namespace winetest
