// Tests run in a private network namespace with only a loopback interface.
#ifndef YVK_TEST_NET_NAMESPACE_HH
#define YVK_TEST_NET_NAMESPACE_HH

namespace yvk::test {

// Moves the calling process (before it starts threads) into a new network
// namespace and brings its loopback interface up.  False when that is not
// allowed here (no CAP_SYS_ADMIN).
bool enterPrivateNetNamespace();

// Whether the process is in a namespace that enterPrivateNetNamespace made.
bool inPrivateNetNamespace();

} // namespace yvk::test

#endif
