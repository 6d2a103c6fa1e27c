// Preloaded into a soak's hosts (LD_PRELOAD): once a second it writes what
// malloc holds for the program into the file named by YVK_HEAP_SAMPLE, one
// line "IN_USE_KB FREE_KB" (in use: the arenas' allocated chunks plus the
// blocks mapped on their own; free: what the arenas keep without use).  A
// leak raises the first number; resident memory that only the second
// explains is the allocator's, not the program's.  The thread allocates
// nothing, so it adds no arena of its own.
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void writeSample(const char* path, const char* temporary) {
    struct mallinfo2 info = mallinfo2();
    char line[64];
    int size = std::snprintf(line, sizeof line, "%zu %zu\n", (info.uordblks + info.hblkhd) / 1024,
                             info.fordblks / 1024);
    int fd = open(temporary, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    bool written = size > 0 && write(fd, line, static_cast<size_t>(size)) == size;
    close(fd);
    if (written) rename(temporary, path);
}

char gPath[4096];
char gTemporary[4096 + 8];

void* sampleEverySecond(void*) {
    for (;;) {
        writeSample(gPath, gTemporary);
        sleep(1);
    }
    return nullptr;
}

__attribute__((constructor)) void startSampling() {
    const char* path = std::getenv("YVK_HEAP_SAMPLE");
    if (path == nullptr || *path == '\0' || std::strlen(path) >= sizeof gPath) return;
    std::snprintf(gPath, sizeof gPath, "%s", path);
    std::snprintf(gTemporary, sizeof gTemporary, "%s.new", path);
    unsetenv("YVK_HEAP_SAMPLE");  // not for the programs the host starts
    pthread_t thread;
    if (pthread_create(&thread, nullptr, sampleEverySecond, nullptr) == 0) pthread_detach(thread);
}

} // namespace
