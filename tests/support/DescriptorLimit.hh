// The process's limit of open files: lowered so that the next descriptor
// fails, or raised for descriptors past select()'s 1024.
#ifndef YVK_TEST_DESCRIPTOR_LIMIT_HH
#define YVK_TEST_DESCRIPTOR_LIMIT_HH

#include <sys/resource.h>
#include <unistd.h>

namespace yvk::test {

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
