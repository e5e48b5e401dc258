// Loading the admin page: AdminPage.html beside the executable or in the installed share
// folder, read once when the core is built, or a one-line built-in page when neither opens.
#include "AdminEndpoint.hpp"
#include "platform/Platform.hpp"

#include <fstream>
#include <iterator>
#include <system_error>

namespace tnlrelay {

namespace {

constexpr const char* kFallbackPage =
    "<!doctype html><meta charset=\"utf-8\"><body style=\"font-family:Segoe UI,Arial,"
    "sans-serif;background:#1e1f24;color:#e6e6e6;padding:24px\"><h2>Tarnelle Relay &mdash; "
    "admin</h2><p>AdminPage.html was not found next to the executable.</p></body>";

} // namespace

std::string loadAdminHtml() {
    std::filesystem::path dir = platform::executablePath().parent_path();
    if (dir.empty()) dir = ".";
    // Beside the executable (a build, the Windows folder), else where an installation keeps
    // shared files: bin/../share/tnlrelay.
    for (const auto& file :
         {dir / "AdminPage.html", dir.parent_path() / "share" / "tnlrelay" / "AdminPage.html"}) {
        // A directory of that name opens on some systems but is no page.
        std::error_code ec;
        if (std::filesystem::is_directory(file, ec)) continue;
        std::ifstream in(file, std::ios::binary);
        if (!in.is_open()) continue;
        // An empty file is an empty page: only a file that cannot be opened gets the fallback.
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return kFallbackPage;
}

} // namespace tnlrelay
