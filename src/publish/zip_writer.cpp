#include "publish/zip_writer.h"

#include <zip.h>

#include <algorithm>
#include <ctime>
#include <string>

#include "platform/files.h"

namespace corvana {

namespace {

zipFile AsZip(void* hZip) { return static_cast<zipFile>(hZip); }

constexpr uint32_t UNIX_SYSTEM = 3;   // version made by: Unix, so that the mode is read
constexpr uint32_t ZIP_VERSION = 20;  // 2.0: deflate
constexpr uint32_t UTF8_NAME_FLAG = 0x800;
constexpr std::size_t READ_BLOCK = std::size_t{1} << 20;
// How much of an item tells whether deflate shrinks it.
constexpr std::size_t INCOMPRESSIBLE_SAMPLE = std::size_t{64} * 1024;

bool IsAscii(std::string_view text) {
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

// Whether deflate leaves the sample's first INCOMPRESSIBLE_SAMPLE bytes about as
// large as they are (a shorter sample is always deflated).
bool IsIncompressible(std::string_view sample) {
    if (sample.size() < INCOMPRESSIBLE_SAMPLE) return false;
    sample = sample.substr(0, INCOMPRESSIBLE_SAMPLE);
    uLongf nPacked = compressBound(static_cast<uLong>(sample.size()));
    std::string packed(nPacked, '\0');
    if (compress2(reinterpret_cast<Bytef*>(packed.data()), &nPacked,
                  reinterpret_cast<const Bytef*>(sample.data()), static_cast<uLong>(sample.size()),
                  1) != Z_OK) {
        return false;
    }
    return static_cast<double>(nPacked) > 0.98 * static_cast<double>(sample.size());
}

}  // namespace

uint32_t DosDateOf(int64_t nUnixTime) {
    const auto when = static_cast<std::time_t>(nUnixTime);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &when);
#else
    localtime_r(&when, &local);
#endif
    if (local.tm_year < 80) return (1u << 21) | (1u << 16);  // 1980-01-01, the first DOS day
    return static_cast<uint32_t>(local.tm_year - 80) << 25 |
           static_cast<uint32_t>(local.tm_mon + 1) << 21 |
           static_cast<uint32_t>(local.tm_mday) << 16 | static_cast<uint32_t>(local.tm_hour) << 11 |
           static_cast<uint32_t>(local.tm_min) << 5 | static_cast<uint32_t>(local.tm_sec / 2);
}

ZipWriter::~ZipWriter() {
    if (m_hZip != nullptr) zipClose(AsZip(m_hZip), nullptr);
}

Result ZipWriter::Create(const std::string& path) {
    m_strPath = path;
    m_hZip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
    if (m_hZip == nullptr) return Failure{path, "the archive cannot be made"};
    return {};
}

Result ZipWriter::Begin(const std::string& name, uint64_t nSize, uint32_t dwDosDate,
                        uint32_t dwUnixMode, std::string_view sample) {
    // Bytes that deflate does not shrink (packed media, archives) are stored:
    // deflating them costs the publisher and every player time for nothing.
    const bool bStored = IsIncompressible(sample);
    zip_fileinfo info{};
    info.dosDate = dwDosDate;
    info.external_fa = static_cast<uLong>(dwUnixMode) << 16;
    const int nZip64 = nSize >= 0xFFFFFFFFull ? 1 : 0;
    if (zipOpenNewFileInZip4_64(AsZip(m_hZip), name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                bStored ? 0 : Z_DEFLATED, bStored ? 0 : Z_DEFAULT_COMPRESSION, 0,
                                -MAX_WBITS, DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0,
                                UNIX_SYSTEM << 8 | ZIP_VERSION, IsAscii(name) ? 0 : UTF8_NAME_FLAG,
                                nZip64) != ZIP_OK) {
        return Failure{m_strPath, name + ": the item cannot be begun"};
    }
    return {};
}

Result ZipWriter::Write(const char* pData, std::size_t nSize) {
    while (nSize > 0) {
        const auto nPart = static_cast<unsigned>(std::min<std::size_t>(nSize, 1u << 30));
        if (zipWriteInFileInZip(AsZip(m_hZip), pData, nPart) != ZIP_OK) {
            return SystemFailure(m_strPath);
        }
        pData += nPart;
        nSize -= nPart;
    }
    return {};
}

Result ZipWriter::AddFile(const std::string& name, const std::string& sourcePath, uint64_t nSize,
                          uint32_t dwDosDate, uint32_t dwUnixMode) {
    std::string buffer(READ_BLOCK, '\0');
    // The item begins with the file's first block, which says how it is packed.
    bool bBegun = false;
    Result written;
    const bool bRead = ReadInBlocks(sourcePath.c_str(), nSize, buffer, [&](std::string_view block) {
        if (written && !bBegun) {
            written = Begin(name, nSize, dwDosDate, dwUnixMode, block);
            bBegun = static_cast<bool>(written);
        }
        if (written) written = Write(block.data(), block.size());
    });
    if (!bBegun && written) {  // an empty file
        if (Result begun = Begin(name, nSize, dwDosDate, dwUnixMode, {}); !begun) return begun;
        bBegun = true;
    }
    if (!bBegun) return written;
    if (zipCloseFileInZip(AsZip(m_hZip)) != ZIP_OK && written) written = SystemFailure(m_strPath);
    if (!bRead) return Failure{sourcePath, "it changed, or became a link, while it was packed"};
    return written;
}

Result ZipWriter::AddData(const std::string& name, std::string_view data, uint32_t dwDosDate,
                          uint32_t dwUnixMode) {
    if (Result begun = Begin(name, data.size(), dwDosDate, dwUnixMode, data); !begun) return begun;
    Result written = Write(data.data(), data.size());
    if (zipCloseFileInZip(AsZip(m_hZip)) != ZIP_OK && written) written = SystemFailure(m_strPath);
    return written;
}

Result ZipWriter::Close() {
    if (m_hZip == nullptr) return Failure{m_strPath, "the archive is not open"};
    const int nClosed = zipClose(AsZip(m_hZip), nullptr);
    m_hZip = nullptr;
    if (nClosed != ZIP_OK) return SystemFailure(m_strPath);
    return {};
}

}  // namespace corvana
