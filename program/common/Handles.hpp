// Small owners for the Win32 handles and memory a phase acquires, so that
// each is released on every way out of the phase.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <utility>

template <typename Traits>
class UniqueOwner {
public:
    using Value = typename Traits::Value;
    UniqueOwner() = default;
    explicit UniqueOwner(Value value) : value_(value) {}
    UniqueOwner(const UniqueOwner&) = delete;
    UniqueOwner& operator=(const UniqueOwner&) = delete;
    UniqueOwner(UniqueOwner&& other) noexcept : value_(other.release()) {}
    UniqueOwner& operator=(UniqueOwner&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    ~UniqueOwner() { reset(); }

    Value get() const { return value_; }
    bool valid() const { return Traits::IsValid(value_); }
    explicit operator bool() const { return valid(); }
    Value release() { return std::exchange(value_, Traits::Invalid()); }
    void reset(Value value = Traits::Invalid())
    {
        if (Traits::IsValid(value_))
            Traits::Close(value_);
        value_ = value;
    }

private:
    Value value_ = Traits::Invalid();
};

// A kernel object handle from CreateFileW and the like (INVALID_HANDLE_VALUE when absent).
struct FileHandleTraits {
    using Value = HANDLE;
    static Value Invalid() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Value v) { return v != INVALID_HANDLE_VALUE && v != nullptr; }
    static void Close(Value v) { CloseHandle(v); }
};
using UniqueFile = UniqueOwner<FileHandleTraits>;

// A kernel object handle whose absence is null (tokens, snapshots, processes).
struct KernelHandleTraits {
    using Value = HANDLE;
    static Value Invalid() { return nullptr; }
    static bool IsValid(Value v) { return v != nullptr && v != INVALID_HANDLE_VALUE; }
    static void Close(Value v) { CloseHandle(v); }
};
using UniqueKernelHandle = UniqueOwner<KernelHandleTraits>;

struct ServiceHandleTraits {
    using Value = SC_HANDLE;
    static Value Invalid() { return nullptr; }
    static bool IsValid(Value v) { return v != nullptr; }
    static void Close(Value v) { CloseServiceHandle(v); }
};
using UniqueServiceHandle = UniqueOwner<ServiceHandleTraits>;

// A DLL that LoadLibraryExW loaded, released with FreeLibrary.
struct LibraryTraits {
    using Value = HMODULE;
    static Value Invalid() { return nullptr; }
    static bool IsValid(Value v) { return v != nullptr; }
    static void Close(Value v) { FreeLibrary(v); }
};
using UniqueLibrary = UniqueOwner<LibraryTraits>;

struct RegistryKeyTraits {
    using Value = HKEY;
    static Value Invalid() { return nullptr; }
    static bool IsValid(Value v) { return v != nullptr; }
    static void Close(Value v) { RegCloseKey(v); }
};
using UniqueRegistryKey = UniqueOwner<RegistryKeyTraits>;

struct FindHandleTraits {
    using Value = HANDLE;
    static Value Invalid() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(Value v) { return v != INVALID_HANDLE_VALUE && v != nullptr; }
    static void Close(Value v) { FindClose(v); }
};
using UniqueFind = UniqueOwner<FindHandleTraits>;

// A CryptoAPI provider from CryptAcquireContextW.
struct CryptProviderTraits {
    using Value = HCRYPTPROV;
    static Value Invalid() { return 0; }
    static bool IsValid(Value v) { return v != 0; }
    static void Close(Value v) { CryptReleaseContext(v, 0); }
};
using UniqueCryptProvider = UniqueOwner<CryptProviderTraits>;

// A CryptoAPI hash object from CryptCreateHash.
struct CryptHashTraits {
    using Value = HCRYPTHASH;
    static Value Invalid() { return 0; }
    static bool IsValid(Value v) { return v != 0; }
    static void Close(Value v) { CryptDestroyHash(v); }
};
using UniqueCryptHash = UniqueOwner<CryptHashTraits>;

// Zero-filled memory from GlobalAlloc(GPTR), released with GlobalFree.
struct GlobalMemoryTraits {
    using Value = HGLOBAL;
    static Value Invalid() { return nullptr; }
    static bool IsValid(Value v) { return v != nullptr; }
    static void Close(Value v) { GlobalFree(v); }
};
using UniqueGlobal = UniqueOwner<GlobalMemoryTraits>;

inline UniqueGlobal AllocateZeroed(SIZE_T bytes) { return UniqueGlobal(GlobalAlloc(GPTR, bytes)); }

// Memory that a call allocated with LocalAlloc for its caller (security
// descriptors, access lists, SID strings), released with LocalFree.
struct LocalMemoryTraits {
    using Value = HLOCAL;
    static Value Invalid() { return nullptr; }
    static bool IsValid(Value v) { return v != nullptr; }
    static void Close(Value v) { LocalFree(v); }
};
using UniqueLocal = UniqueOwner<LocalMemoryTraits>;
