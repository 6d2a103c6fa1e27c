// A web root in a temporary folder for the HTTP server to serve, with a
// secret file beside it that no request may fetch.
#ifndef YVK_TEST_WEB_ROOT_HH
#define YVK_TEST_WEB_ROOT_HH

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace yvk::test {

inline void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// /tmp/yvk-web-XXXXXX holding secret.txt (with secret in it) and www/:
// index.html, css/site.css, app.js, README, a/etc/passwd ("inside") and
// leak.txt, a symbolic link to the secret.  The folder, or "" when it could
// not be made.
inline std::string makeWebRoot(const std::string& secret) {
    char folder[] = "/tmp/yvk-web-XXXXXX";
    if (mkdtemp(folder) == nullptr) return "";
    const std::string root = folder, web = root + "/www";
    for (const char* dir : {"/www", "/www/css", "/www/a", "/www/a/etc"}) mkdir((root + dir).c_str(), 0755);
    writeFile(web + "/index.html", "<html>start</html>");
    writeFile(web + "/css/site.css", "body{}");
    writeFile(web + "/app.js", "var x;");
    writeFile(web + "/README", "plain");
    writeFile(web + "/a/etc/passwd", "inside");
    writeFile(root + "/secret.txt", secret);
    return symlink((root + "/secret.txt").c_str(), (web + "/leak.txt").c_str()) == 0 ? root : "";
}

} // namespace yvk::test

#endif
