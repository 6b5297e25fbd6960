// Faults a build for the tests can be told to make (CORVANA_TEST_HOOKS), so that
// what the program does when they happen can be tested on every platform. A
// shipped build has none.
#pragma once

#include <string_view>

namespace corvana {

#if CORVANA_TEST_HOOKS
// Throws std::bad_alloc, as an allocation that fails would, when the environment
// variable CORVANA_TEST_THROW_AT names place.
void InjectAllocationFailure(std::string_view place);
#else
inline void InjectAllocationFailure(std::string_view) {}
#endif

}  // namespace corvana
