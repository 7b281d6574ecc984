#ifndef QUORVEL_ELAPSED_H
#define QUORVEL_ELAPSED_H

#include <chrono>

namespace testsupport {

inline long MillisecondsSince(std::chrono::steady_clock::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

}  // namespace testsupport

#endif
