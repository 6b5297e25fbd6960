#include "platform/registry.h"

namespace corvana {

namespace {

bool SubkeyExists(RegistryKey key, const char* pszName) {
    RegistryKey subkey = nullptr;
    if (RegistryOpenFull(key, pszName, &subkey) != 0) return false;
    RegistryClose(subkey);
    return true;
}

}  // namespace

int DeleteRegistryTree(RegistryKey parent, const char* pszPath, char* pszNameBuffer) {
    RegistryKey key = nullptr;
    if (RegistryOpenFull(parent, pszPath, &key) != 0) return -1;
    for (uint32_t nIndex = 0;;) {
        const long nResult = RegistryEnumKey(key, nIndex, pszNameBuffer, REGISTRY_NAME_SIZE);
        // The end of the list, or a failure the walk cannot get past, ends it.
        if (nResult != 0) break;
        char szChildName[REGISTRY_NAME_SIZE];  // a fresh buffer for the level below
        const int nChild = DeleteRegistryTree(key, pszNameBuffer, szChildName);
        if (nChild == -1) {
            RegistryClose(key);
            return 1;
        }
        // A deleted subkey's place is taken by the next one; one still there is passed.
        if (nChild != 0 || SubkeyExists(key, pszNameBuffer)) ++nIndex;
    }
    RegistryClose(key);
    RegistryDelete(parent, pszPath);
    return 0;
}

}  // namespace corvana
