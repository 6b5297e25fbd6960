// Writing a ZIP archive (over minizip's writer): items deflated (stored when
// their first 64 KiB do not deflate), their paths
// '/' separated and marked UTF-8, their time and Unix mode kept, ZIP64 where an
// item needs it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/failure.h"

namespace corvana {

class ZipWriter {
public:
    ZipWriter() = default;
    ~ZipWriter();  // an archive not closed is left incomplete; the caller removes it
    ZipWriter(const ZipWriter&) = delete;
    ZipWriter& operator=(const ZipWriter&) = delete;

    Result Create(const std::string& path);
    // The item name holding the file at sourcePath, of nSize bytes (read without
    // following a link), with its MS-DOS time and Unix mode.
    Result AddFile(const std::string& name, const std::string& sourcePath, uint64_t nSize,
                   uint32_t dwDosDate, uint32_t dwUnixMode);
    Result AddData(const std::string& name, std::string_view data, uint32_t dwDosDate,
                   uint32_t dwUnixMode);
    Result Close();

private:
    // Begins an item, stored when its first bytes (sample) do not deflate.
    Result Begin(const std::string& name, uint64_t nSize, uint32_t dwDosDate, uint32_t dwUnixMode,
                 std::string_view sample);
    Result Write(const char* pData, std::size_t nSize);

    void* m_hZip = nullptr;  // minizip's zipFile
    std::string m_strPath;
};

// The MS-DOS date and time (local time) of a time_t, as archives store it.
uint32_t DosDateOf(int64_t nUnixTime);

}  // namespace corvana
