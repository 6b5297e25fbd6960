// Files and folders.
#pragma once

#include <cstdint>
#include <string>

namespace corvana {

// The longest path the program builds, terminator included.
inline constexpr unsigned MAX_PATH_LENGTH = 260;

// Creates or replaces the file at pszPath with exactly dwSize bytes of pData;
// bHidden gives it the hidden attribute where the system has one. False when
// the file could not be created or written whole.
bool WriteWholeFile(const char* pszPath, const char* pData, uint32_t dwSize, bool bHidden);

enum class PathKind { NONE, FILE, FOLDER };
PathKind GetPathKind(const char* pszPath);

// Creates one folder (its parent must exist); false when it could not.
bool CreateFolder(const char* pszPath);

bool DeleteOneFile(const char* pszPath);

// Clears the hidden and read-only attributes where the system has them.
bool SetNormalAttributes(const char* pszPath);

// Sets a file's modification time (on Windows its creation and last-write time)
// from an MS-DOS date and time (date in the high 16 bits) taken as local time;
// the access time is kept.
bool SetFileTimeFromDos(const char* pszPath, uint32_t dwDosDate);

// A file that takes the place of its target only once it is complete: written to
// a temporary file in the target's folder, then moved over the target in one step.
// A file that is not committed leaves the target as it was and nothing behind.
class ReplacementFile {
public:
    ReplacementFile() = default;
    ~ReplacementFile();  // discards what was not committed
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    // Starts the temporary file beside pszTarget; false when it cannot be made
    // or the target cannot be replaced (a folder, or a read-only file).
    bool Create(const char* pszTarget);
    bool Write(const char* pData, uint32_t dwSize);
    // Flushes the data to the disk and closes the file.
    bool Finish();
    // The temporary file, to set its times and attributes between Finish and Commit.
    const std::string& TemporaryPath() const { return m_strTemp; }
    // Moves the finished file over the target.
    bool Commit();
    void Discard();

private:
    std::string m_strTarget;
    std::string m_strTemp;
    intptr_t m_hFile = -1;  // descriptor or handle of the open temporary file
    bool m_bOpen = false;
};

// Applies what the program keeps of an archive item's stored attributes: on Linux
// the execute bits of a Unix mode (made on a Unix system), so that an installed
// program can be started; nothing on Windows.
void ApplyStoredAttributes(const char* pszPath, uint32_t dwVersionMadeBy,
                           uint32_t dwExternalAttributes);

}  // namespace corvana
