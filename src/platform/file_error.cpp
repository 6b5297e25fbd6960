#include "platform/files.h"

namespace corvana {

namespace {

thread_local FileError t_firstError;

}  // namespace

void ClearFileError() { t_firstError = {}; }

const FileError& FirstFileError() { return t_firstError; }

bool NoteFileError(const std::string& path, std::string reason) {
    if (t_firstError.path.empty()) t_firstError = {path, std::move(reason)};
    return false;
}

}  // namespace corvana
