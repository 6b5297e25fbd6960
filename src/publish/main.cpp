// corvana-publish: builds or extends a patch set and puts it live (see
// publish/publisher.h; tools/make-patch-set starts it from the repository).
#include <cstdio>
#include <string>
#include <vector>

#include "publish/publisher.h"

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (!arguments.empty() && (arguments[0] == "-h" || arguments[0] == "--help")) {
        std::fputs(corvana::PUBLISH_USAGE, stdout);
        return 0;
    }
    const corvana::Expected<corvana::PublishOptions> options =
        corvana::ReadPublishOptions(arguments);
    if (!options) {
        std::fprintf(stderr, "make-patch-set: %s\n", options.GetFailure().Text().c_str());
        return 1;
    }
    const corvana::Result published = corvana::Publish(*options, [](const std::string& line) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    });
    if (!published) {
        std::fprintf(stderr, "make-patch-set: %s\n", published.GetFailure().Text().c_str());
        return 1;
    }
    return 0;
}
