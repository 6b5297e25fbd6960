// The deltas the tests install: written with the publisher's own writer, from
// the base and result files tests/support/make_archives.py made.
#pragma once

#include <string>

namespace corvana::test {

// The delta of an archive holding bin/game.dat (delta-result.dat, a Zstandard
// patch of delta-base.dat), bin/prog.bin (delta-prog-result.dat, diffed from
// delta-prog-base.dat) and new.txt (whole). With bWrongResult, game.dat's entry
// names a result its patch does not give.
std::string TestDelta(bool bWrongResult = false);

}  // namespace corvana::test
