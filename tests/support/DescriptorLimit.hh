// Lowers the process's descriptor limit to the lowest free descriptor while
// in scope, so that the next descriptor anyone asks for fails with EMFILE.
#ifndef YVK_TEST_DESCRIPTOR_LIMIT_HH
#define YVK_TEST_DESCRIPTOR_LIMIT_HH

#include <sys/resource.h>
#include <unistd.h>

namespace yvk::test {

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

} // namespace yvk::test

#endif
