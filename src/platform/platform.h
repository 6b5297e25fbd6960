// Facts of the platform that the portable core needs as constants.
#pragma once

namespace corvana {

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

}  // namespace corvana
