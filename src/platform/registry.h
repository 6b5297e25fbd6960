// The registry: the Windows registry, or on Linux keys as folders under a
// registry root ($CORVANA_REGISTRY_ROOT, else $XDG_CONFIG_HOME/corvana/registry),
// one folder per hive. The calls answer like the Windows ones: 0 on success.
#pragma once

#include <cstdint>

namespace corvana {

using RegistryKey = void*;

inline constexpr long REGISTRY_NO_MORE_ITEMS = 259;

// The predefined keys.
RegistryKey RegistryLocalMachine();
RegistryKey RegistryCurrentUser();

// Opens parent\pszPath with full access (on Linux: the folder is writable by its mode).
long RegistryOpenFull(RegistryKey parent, const char* pszPath, RegistryKey* pKey);
// Creates (or opens) parent\pszPath and every level above it; for tests and tools.
long RegistryCreate(RegistryKey parent, const char* pszPath, RegistryKey* pKey);
// The name of subkey nIndex (in a stable order), or REGISTRY_NO_MORE_ITEMS.
long RegistryEnumKey(RegistryKey key, uint32_t nIndex, char* pszName, uint32_t dwSize);
long RegistryClose(RegistryKey key);
// Deletes parent\pszPath, which must have no subkeys.
long RegistryDelete(RegistryKey parent, const char* pszPath);

inline constexpr uint32_t REGISTRY_NAME_SIZE = 260;  // a key name's buffer

// Deletes parent\path and everything below it, depth first, with pszNameBuffer
// (REGISTRY_NAME_SIZE bytes) for this level's subkey names: 0 when the walk
// finished (the deletion of the key was asked for), -1 when the key cannot be
// opened with full access, 1 when a subkey cannot be opened (the key stays).
int DeleteRegistryTree(RegistryKey parent, const char* pszPath, char* pszNameBuffer);

}  // namespace corvana
