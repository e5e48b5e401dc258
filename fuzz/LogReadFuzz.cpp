// Fuzz target: reading the log back by offset (the admin page's live log) over arbitrary file
// contents and offsets. The first 16 bytes are the offset and the read limit.
#include "relay/RelayLog.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

std::filesystem::path scratchFile() {
    static const std::filesystem::path path = [] {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "tnlrelay-fuzz-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        return std::filesystem::path(pattern) / "relay.log";
    }();
    return path;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 16) return 0;
    std::uint64_t offset = 0;
    std::uint64_t limit = 0;
    std::memcpy(&offset, data, 8);
    std::memcpy(&limit, data + 8, 8);
    // Offsets near the file are the interesting ones; keep some far ones too.
    if (offset & 1) offset = (offset >> 1) % (size + 8);
    limit = limit % 4096;
    const std::filesystem::path path = scratchFile();
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data) + 16, std::streamsize(size - 16));
    }
    const std::uint64_t fileSize = size - 16;
    tnlrelay::RelayLog log(path, 1048576, 5);
    tnlrelay::LogChunk chunk = log.readSince(offset, limit);
    if (chunk.nextOffset > fileSize) std::abort();
    if (!chunk.reset && chunk.nextOffset < offset) std::abort();
    std::uint64_t total = 0;
    for (const std::string& line : chunk.lines) {
        if (line.empty() || line.find('\n') != std::string::npos) std::abort();
        total += line.size();
    }
    if (total > limit) std::abort();
    return 0;
}
