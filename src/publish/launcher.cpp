#include "publish/launcher.h"

namespace corvana {

std::vector<std::pair<std::string, std::string>> LauncherFiles() {
    std::vector<std::pair<std::string, std::string>> files{
        {std::string(LINUX_UPDATER) + ".desktop",
         "[Desktop Entry]\nType=Application\nName=Corvana\nComment=Updates the Corvana client and "
         "starts it\nIcon=corvana-updater\nExec=corvana-updater -THIS_FOLDER\nTerminal=false\n"
         "Categories=Game;\n"}};
    for (unsigned i = 0; i < kLauncherIconCount; ++i) {
        const LauncherIcon& icon = kLauncherIcons[i];
        const std::string size = std::to_string(icon.nSize);
        std::string name = "icons/hicolor/";
        name.append(size)
            .append("x")
            .append(size)
            .append("/apps/")
            .append(LINUX_UPDATER)
            .append(".png");
        files.emplace_back(std::move(name),
                           std::string(reinterpret_cast<const char*>(icon.pData), icon.nBytes));
    }
    return files;
}

}  // namespace corvana
