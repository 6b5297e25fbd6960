#include <windows.h>

#include "platform/registry.h"

namespace corvana {

namespace {
HKEY AsKey(RegistryKey key) { return static_cast<HKEY>(key); }
}  // namespace

RegistryKey RegistryLocalMachine() { return HKEY_LOCAL_MACHINE; }
RegistryKey RegistryCurrentUser() { return HKEY_CURRENT_USER; }

long RegistryOpenFull(RegistryKey parent, const char* pszPath, RegistryKey* pKey) {
    HKEY hKey = nullptr;
    const LONG nResult = RegOpenKeyExA(AsKey(parent), pszPath, 0, KEY_ALL_ACCESS, &hKey);
    *pKey = hKey;
    return nResult;
}

long RegistryCreate(RegistryKey parent, const char* pszPath, RegistryKey* pKey) {
    HKEY hKey = nullptr;
    const LONG nResult = RegCreateKeyExA(AsKey(parent), pszPath, 0, nullptr, 0, KEY_ALL_ACCESS,
                                         nullptr, &hKey, nullptr);
    *pKey = hKey;
    return nResult;
}

long RegistryEnumKey(RegistryKey key, uint32_t nIndex, char* pszName, uint32_t dwSize) {
    return RegEnumKeyA(AsKey(key), nIndex, pszName, dwSize);
}

long RegistryClose(RegistryKey key) { return RegCloseKey(AsKey(key)); }

long RegistryDelete(RegistryKey parent, const char* pszPath) {
    return RegDeleteKeyA(AsKey(parent), pszPath);
}

}  // namespace corvana
