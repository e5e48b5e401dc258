// AES-GCM on the vector instructions against OpenSSL's: the same ciphertext and tag for every
// length and every way of cutting the input, and nothing opens that was changed.
#include "net/FastGcm.hpp"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <vector>

using namespace tnlrelay::net;

namespace {

using Bytes = std::vector<unsigned char>;

// OpenSSL's sealing of `plain` under `key`, `iv` and `aad`: ciphertext, then the tag.
Bytes opensslSeal(const Bytes& key, const Bytes& iv, const Bytes& aad, const Bytes& plain) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    const EVP_CIPHER* cipher = key.size() == 16 ? EVP_aes_128_gcm() : EVP_aes_256_gcm();
    Bytes out(plain.size() + 16);
    int len = 0;
    EXPECT_EQ(EVP_EncryptInit_ex(ctx, cipher, nullptr, key.data(), iv.data()), 1);
    EXPECT_EQ(EVP_EncryptUpdate(ctx, nullptr, &len, aad.data(), int(aad.size())), 1);
    EXPECT_EQ(EVP_EncryptUpdate(ctx, out.data(), &len, plain.data(), int(plain.size())), 1);
    EXPECT_EQ(EVP_EncryptFinal_ex(ctx, out.data() + plain.size(), &len), 1);
    EXPECT_EQ(EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, 16, out.data() + plain.size()), 1);
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

// Runs `in` through `key` in pieces cut at `cuts`, in place; returns the result and the tag.
Bytes run(const fastgcm::Key& key, const Bytes& iv, const Bytes& aad, Bytes in,
          const std::vector<std::size_t>& cuts) {
    fastgcm::Context ctx;
    fastgcm::start(key, ctx, iv.data(), aad.data(), aad.size());
    std::size_t at = 0;
    for (std::size_t cut : cuts) {
        cut = std::min(cut, in.size());
        fastgcm::update(key, ctx, in.data() + at, in.data() + at, cut - at);
        at = cut;
    }
    fastgcm::update(key, ctx, in.data() + at, in.data() + at, in.size() - at);
    in.resize(in.size() + 16);
    fastgcm::finish(key, ctx, in.data() + in.size() - 16);
    return in;
}

} // namespace

TEST(FastGcm, SealsAndOpensAsOpenSslDoesForEveryLengthAndCut) {
    if (!fastgcm::available()) GTEST_SKIP() << "no VAES and AVX-512 here, or built without them";
    std::mt19937 rng(7);
    auto random = [&](std::size_t n) {
        Bytes b(n);
        for (auto& x : b)
            x = static_cast<unsigned char>(rng());
        return b;
    };
    for (std::size_t keyLen : {16u, 32u}) {
        const Bytes key = random(keyLen);
        const auto sealer = fastgcm::makeKey(key.data(), key.size(), true);
        const auto opener = fastgcm::makeKey(key.data(), key.size(), false);
        ASSERT_TRUE(sealer && opener);
        std::vector<std::size_t> lengths;
        for (std::size_t n = 0; n <= 300; ++n)
            lengths.push_back(n);
        for (std::size_t n : {1023u, 1024u, 4097u, 16384u, 16385u})
            lengths.push_back(n);
        for (std::size_t n : lengths) {
            const Bytes iv = random(12), aad = random(5), plain = random(n);
            const Bytes want = opensslSeal(key, iv, aad, plain);
            // Whole, then cut at random places, as a record is sealed from queued pieces.
            std::vector<std::vector<std::size_t>> cutsList = {{}};
            for (int k = 0; k < 3 && n; ++k) {
                std::vector<std::size_t> cuts;
                for (std::size_t at = rng() % 40; at < n; at += 1 + rng() % (n < 64 ? 7 : n / 3))
                    cuts.push_back(at);
                cutsList.push_back(cuts);
            }
            for (const auto& cuts : cutsList) {
                const Bytes sealed = run(*sealer, iv, aad, plain, cuts);
                ASSERT_EQ(sealed, want) << "key " << keyLen << ", " << n << " bytes";
                // Opening gives the plain text back and the same tag.
                const Bytes opened =
                    run(*opener, iv, aad, Bytes(sealed.begin(), sealed.end() - 16), cuts);
                ASSERT_TRUE(std::equal(plain.begin(), plain.end(), opened.begin())) << n;
                ASSERT_TRUE(std::equal(opened.end() - 16, opened.end(), sealed.end() - 16)) << n;
            }
        }
    }
}

TEST(FastGcm, AnyChangeGivesAnotherTagAndTheSwitchFallsBack) {
    if (!fastgcm::available()) GTEST_SKIP() << "no VAES and AVX-512 here, or built without them";
    const Bytes key(16, 0x42), iv(12, 0x07), aad = {23, 3, 3, 0, 80};
    Bytes plain(64);
    for (std::size_t i = 0; i < plain.size(); ++i)
        plain[i] = static_cast<unsigned char>(i);
    const auto sealer = fastgcm::makeKey(key.data(), key.size(), true);
    const auto opener = fastgcm::makeKey(key.data(), key.size(), false);
    const Bytes sealed = run(*sealer, iv, aad, plain, {});
    const Bytes tag(sealed.end() - 16, sealed.end());
    auto tagOf = [&](const Bytes& ivUsed, const Bytes& aadUsed, Bytes body) {
        const Bytes opened = run(*opener, ivUsed, aadUsed, std::move(body), {});
        return Bytes(opened.end() - 16, opened.end());
    };
    const Bytes body(sealed.begin(), sealed.end() - 16);
    EXPECT_EQ(tagOf(iv, aad, body), tag);
    for (std::size_t i = 0; i < body.size(); i += 9) {
        Bytes changed = body;
        changed[i] ^= 0x80;
        EXPECT_NE(tagOf(iv, aad, changed), tag) << "byte " << i;
    }
    Bytes otherAad = aad, otherIv = iv;
    otherAad[4] ^= 1;
    otherIv[11] ^= 1;
    EXPECT_NE(tagOf(iv, otherAad, body), tag);
    EXPECT_NE(tagOf(otherIv, aad, body), tag);

    // Switched off, no key is made: sessions then key OpenSSL's cipher instead.
    const bool before = fastgcm::enable(false);
    EXPECT_FALSE(fastgcm::inUse());
    EXPECT_EQ(fastgcm::makeKey(key.data(), key.size(), true), nullptr);
    fastgcm::enable(before);
    EXPECT_TRUE(fastgcm::inUse());
}
