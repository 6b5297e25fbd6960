// Installing a fetched file into the installation folder: saved there, unpacked
// when it is a ZIP archive, and the archive deleted once unpacked.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace corvana {

enum class InstallStage { SAVING, COMPARING, UNPACKING, INSTALLED };
enum class InstallResult { INSTALLED, NOT_SAVED, NOT_UNPACKED };

// Saves body as pszPath (hidden where the system has the attribute), unpacks it
// into the folder that holds it when the path ends in "zip" (any case) and then
// deletes it; any other file is kept with normal attributes. onStage is told of
// each stage as it begins. An archive that cannot be unpacked whole is deleted.
InstallResult InstallFile(const std::string& path, std::string_view body,
                          const std::function<void(InstallStage)>& onStage);

// Unpacks a saved archive into the folder that holds it when the path ends in
// "zip" (any case). The result says only whether the file was taken as an
// archive; *pbExtracted, when given, says whether every item was unpacked.
bool UnzipFile(const char* pszPath, bool* pbExtracted = nullptr);

}  // namespace corvana
