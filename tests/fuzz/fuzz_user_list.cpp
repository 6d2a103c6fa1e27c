// The user list of the RTSP server's digest authentication: entries
// "user:password" (a line break ends the password), any bytes.  The input is
// the realm, then the entries, separated by zero bytes.  Every user the
// database was given must be found again.
#include "yvkstreamer_core_live555.hh"

#include <liveMedia.hh>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string input(reinterpret_cast<const char*>(data), size);
    UserList entries;
    size_t start = 0;
    for (size_t zero; (zero = input.find('\0', start)) != std::string::npos; start = zero + 1) {
        entries.push_back(input.substr(start, zero - start));
    }
    entries.push_back(input.substr(start));
    std::string realm = entries.front();
    entries.pop_front();
    UserAuthenticationDatabase* database =
        createUserAuthenticationDatabase(entries, realm.empty() ? nullptr : realm.c_str());
    if (database == nullptr && !entries.empty()) std::abort();
    for (const std::string& entry : entries) {
        std::string user = entry.substr(0, entry.find(':'));
        // A name with a zero byte cannot be stored; every other one is found.
        if (user.find('\0') == std::string::npos && database->lookupPassword(user.c_str()) == nullptr) std::abort();
    }
    delete database;
    return 0;
}
