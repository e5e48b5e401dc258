// What a build without a TLS library says about TLS: nothing is in use.
#ifndef TNLRELAY_TLS
#include "Net.hpp"

namespace tnlrelay::net {

void setTlsOwnRecords(bool) {}
bool tlsOwnRecordsInUse() {
    return false;
}
bool tlsVectorAesGcm() {
    return false;
}
std::string tlsLibraryVersion() {
    return {};
}
const char* tlsDeclineName(TlsDecline) {
    return "";
}
std::uint64_t tlsDeclined(TlsDecline) {
    return 0;
}

} // namespace tnlrelay::net
#endif
