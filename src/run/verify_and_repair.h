// Verify and repair (-REPAIR): every file the set's signed index names is
// checked in the installation folder, and what is missing or damaged is fetched
// back from the archive that holds it, and only that is written.
#pragma once

#include <cstddef>
#include <string>

#include "run/archive_step.h"
#include "run/prefetch.h"
#include "run/set_fetch.h"

namespace corvana {

// The number of files put back; else how the run ends. With a source of
// connections the archives after the one being put back are fetched ahead.
Expected<std::size_t, RunEnding> VerifyAndRepair(StepContext& context, SetHosts& hosts,
                                                 const FetchedSet& set,
                                                 const FetcherSource& source = {});

}  // namespace corvana
