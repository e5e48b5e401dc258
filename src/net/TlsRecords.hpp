// TLS 1.3 record protection done by the relay itself once a session takes a connection over
// from the library: the key schedule from a traffic secret, and sealing and opening records.
// Everything that held key material is wiped when it is no longer needed.
#pragma once

#include "FastGcm.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

typedef struct ssl_st SSL;
typedef struct evp_md_st EVP_MD;
typedef struct evp_cipher_st EVP_CIPHER;
typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

namespace tnlrelay::net {

/// Wipes `n` bytes in a way the compiler may not leave out.
void wipe(void* p, std::size_t n);

/// A traffic secret: as long as the suite's hash, at most 48 bytes, kept in place (never in a
/// buffer that grows and leaves copies behind) and wiped when it goes.
struct TlsSecret {
    unsigned char bytes[48]{};
    std::uint8_t len = 0;

    TlsSecret() = default;
    TlsSecret(const TlsSecret&) = delete;
    TlsSecret& operator=(const TlsSecret&) = delete;
    ~TlsSecret() { wipe(bytes, sizeof bytes); }
    /// Takes the secret from its hex text (the key log's); false, and empty, when it is not one.
    bool fromHex(std::string_view hex);
    /// Takes `other`'s secret and wipes it there.
    void take(TlsSecret& other);
};

/// One direction's TLS 1.3 record protection: the current traffic secret, its key in the
/// cipher, its nonce base and the number of records it has sealed or opened.
struct TlsKeys {
    const EVP_MD* md = nullptr;
    const EVP_CIPHER* cipher = nullptr;
    std::size_t keyLen = 0;
    bool sealing = true;
    bool useFast = false; ///< AES-GCM through fastgcm, chosen when the keys are made
    TlsSecret secret;
    EVP_CIPHER_CTX* ctx = nullptr; ///< the library's cipher, when fastgcm is not used
    fastgcm::KeyPtr fast; ///< AES-GCM on the vector instructions, where the processor has them
    unsigned char iv[12]{};
    std::uint64_t seq = 0;

    TlsKeys() = default;
    TlsKeys(const TlsKeys&) = delete;
    TlsKeys& operator=(const TlsKeys&) = delete;
    ~TlsKeys();

    /// Keys for the suite `ssl` negotiated, if it is one the relay protects itself: the
    /// suite's hash and cipher, no secret yet. False for any other suite.
    bool forSuite(SSL* ssl, bool forSealing);
    /// The hash's length: the length every secret of the suite has.
    std::size_t hashLen() const;
    /// Takes `first`, moved on `updates` times, as the current secret.
    bool start(TlsSecret& first, std::uint32_t updates);
    /// The next generation of the secret, as a key update makes it.
    bool nextSecret();

    /// One piece of a record's content.
    struct Piece {
        const char* data;
        std::size_t len;
    };
    /// Appends one record: `n` bytes of content of type `type`, sealed.
    bool seal(unsigned char type, const char* data, std::size_t n, std::string& to) {
        const Piece one{data, n};
        return seal(type, &one, 1, n, to);
    }
    /// Appends one record whose content is `count` pieces, `n` bytes in all.
    bool seal(unsigned char type, const Piece* pieces, std::size_t count, std::size_t n,
              std::string& to);
    /// Opens a record of `size` bytes (header, body, tag) in place. False when it does not
    /// authenticate; its plaintext, padding and inner type then follow the header.
    bool open(unsigned char* rec, std::size_t size);

private:
    bool useSecret();
    void nonce(unsigned char out[12]) const;
};

} // namespace tnlrelay::net
