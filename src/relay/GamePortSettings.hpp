// The optional config.json keys of the game port: where it listens, the TLS certificate and
// key, whether plain connections are refused, and the proxies whose word about a client's
// address is believed. Absent or unusable values leave the port as it always was.
#pragma once

#include "ClientAddress.hpp"
#include "net/Address.hpp"

#include <filesystem>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

namespace tnlrelay {

struct GamePortSettings {
    std::string host = "0.0.0.0";      ///< "gameHost"; "::" listens on IPv6 and IPv4
    std::filesystem::path certificate; ///< "tlsCertificate", made absolute; empty: no TLS
    std::filesystem::path privateKey;  ///< "tlsPrivateKey", made absolute
    bool tlsOnly = false;              ///< "tlsOnly"
    bool tlsOwnRecords = true;         ///< "tlsOwnRecords"
    ForwardedHeader forwardedHeader = ForwardedHeader::either; ///< "forwardedHeader"
    net::AddressList trustedProxies;                           ///< "trustedProxies"
    std::vector<std::string> unusableProxies; ///< entries that are not an address or range
    std::string unusableForwardedHeader;      ///< a "forwardedHeader" that names no header we read

    /// Reads the keys from the top-level object of config.json. Relative paths are taken
    /// relative to `dataDirectory`.
    static GamePortSettings read(const nlohmann::json& document,
                                 const std::filesystem::path& dataDirectory);
};

} // namespace tnlrelay
