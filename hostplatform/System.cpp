// Memory and sleep services of the device, on a Linux host.
#include "yvk_system.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>

extern "C" void* YVK_Malloc(size_t size, int /*align*/, int /*flags*/, const char* /*source*/,
                            int /*line*/, const char* /*function*/) {
    // calloc gives the zero fill the callers rely on; a zero size still gets
    // a unique pointer, as malloc(0) may not.
    return std::calloc(size == 0 ? 1 : size, 1);
}

extern "C" void YVK_Free(void* memory) {
    std::free(memory);
}

extern "C" void YVK_ThreadSleep(unsigned int milliseconds) {
    timespec wanted{static_cast<time_t>(milliseconds / 1000),
                    static_cast<long>(milliseconds % 1000) * 1000000L};
    while (nanosleep(&wanted, &wanted) != 0 && errno == EINTR) {
    }
}
