#include "platform/test_hooks.h"

#include <cstdlib>
#include <new>

namespace corvana {

#if CORVANA_TEST_HOOKS
void InjectAllocationFailure(std::string_view place) {
    const char* pszFault = std::getenv("CORVANA_TEST_THROW_AT");
    if (pszFault != nullptr && place == pszFault) throw std::bad_alloc();
}
#endif

}  // namespace corvana
