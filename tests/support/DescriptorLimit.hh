// A process's open files: counted, and the limit of them lowered so that
// the next descriptor fails, or raised for descriptors past select()'s 1024.
#ifndef YVK_TEST_DESCRIPTOR_LIMIT_HH
#define YVK_TEST_DESCRIPTOR_LIMIT_HH

#include <dirent.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include <string>

namespace yvk::test {

// The descriptors process pid has open (this process's count includes the
// one that reads them), -1 when unknown.
inline int openDescriptors(pid_t pid = getpid()) {
    DIR* folder = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (folder == nullptr) return -1;
    int count = 0;
    while (dirent* entry = readdir(folder)) count += entry->d_name[0] != '.' ? 1 : 0;
    closedir(folder);
    return count;
}

// Lowers the limit to the lowest free descriptor while in scope, so that the
// next descriptor anyone asks for fails with EMFILE.
class NoSpareDescriptors {
public:
    NoSpareDescriptors() {
        fSaved = getrlimit(RLIMIT_NOFILE, &fLimit) == 0;
        int lowestFree = dup(0);
        if (!fSaved || lowestFree < 0) return;
        close(lowestFree);
        rlimit none = fLimit;
        none.rlim_cur = static_cast<rlim_t>(lowestFree); // every descriptor below is taken
        fLowered = setrlimit(RLIMIT_NOFILE, &none) == 0;
    }
    ~NoSpareDescriptors() { restore(); }
    NoSpareDescriptors(const NoSpareDescriptors&) = delete;
    NoSpareDescriptors& operator=(const NoSpareDescriptors&) = delete;

    bool lowered() const { return fLowered; }
    void restore() {
        if (fLowered) setrlimit(RLIMIT_NOFILE, &fLimit);
        fLowered = false;
    }

private:
    rlimit fLimit{};
    bool fSaved = false;
    bool fLowered = false;
};

// Raises the soft limit to wanted when the hard limit allows it (children
// started later inherit it); whether it is high enough.
inline bool allowOpenFiles(rlim_t wanted) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
        if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted) return false;
        limit.rlim_cur = wanted;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    }
    return true;
}

} // namespace yvk::test

#endif
