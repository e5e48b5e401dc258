#include "FastGcm.hpp"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#ifdef TNLRELAY_FAST_GCM
#define LINUX 1 // the library's key data is 64-byte aligned only when this is said
#include <intel-ipsec-mb.h>
#endif

namespace tnlrelay::net::fastgcm {

namespace {
// TNLRELAY_AES_GCM=library at start keeps the library's AES-GCM even where the vector
// instructions are there (to compare the two, or to test the library's path on such a machine).
bool libraryChosen() {
    const char* value = std::getenv("TNLRELAY_AES_GCM");
    return value && std::string_view(value) == "library";
}
std::atomic<bool> enabled{!libraryChosen()};
} // namespace

bool enable(bool on) {
    return enabled.exchange(on);
}

bool inUse() {
    return enabled.load(std::memory_order_relaxed) && available();
}

#ifdef TNLRELAY_FAST_GCM

struct Key {
    gcm_key_data data;
    aes_gcm_init_var_iv_t init;
    aes_gcm_enc_dec_update_t update;
    aes_gcm_enc_dec_finalize_t finish;
};
static_assert(alignof(gcm_key_data) == 64);
static_assert(sizeof(gcm_context_data) <= sizeof(Context));

namespace {

/// The library's table of functions for this processor, or null where it would not be faster
/// than OpenSSL. Made once, read only after that.
IMB_MGR* manager() {
    static IMB_MGR* const mgr = []() -> IMB_MGR* {
        IMB_MGR* m = alloc_mb_mgr(0);
        if (!m) return nullptr;
        IMB_ARCH arch = IMB_ARCH_NONE;
        init_mb_mgr_auto(m, &arch);
        const std::uint64_t need =
            IMB_FEATURE_VAES | IMB_FEATURE_VPCLMULQDQ | IMB_FEATURE_AVX512_SKX | IMB_FEATURE_AESNI;
        if (imb_get_errno(m) != 0 || arch != IMB_ARCH_AVX512 || (m->features & need) != need) {
            free_mb_mgr(m);
            return nullptr;
        }
        return m;
    }();
    return mgr;
}

gcm_context_data& state(Context& ctx) {
    return *reinterpret_cast<gcm_context_data*>(ctx.bytes);
}

} // namespace

bool available() {
    return manager() != nullptr;
}

void KeyFree::operator()(Key* k) const {
    imb_clear_mem(k, sizeof *k);
    delete k;
}

KeyPtr makeKey(const unsigned char* key, std::size_t len, bool sealing) {
    IMB_MGR* m = inUse() ? manager() : nullptr;
    if (!m || (len != 16 && len != 32)) return nullptr;
    KeyPtr k(new Key);
    if (len == 16) {
        IMB_AES128_GCM_PRE(m, key, &k->data);
        k->init = m->gcm128_init_var_iv;
        k->update = sealing ? m->gcm128_enc_update : m->gcm128_dec_update;
        k->finish = sealing ? m->gcm128_enc_finalize : m->gcm128_dec_finalize;
    } else {
        IMB_AES256_GCM_PRE(m, key, &k->data);
        k->init = m->gcm256_init_var_iv;
        k->update = sealing ? m->gcm256_enc_update : m->gcm256_dec_update;
        k->finish = sealing ? m->gcm256_enc_finalize : m->gcm256_dec_finalize;
    }
    return k;
}

void start(const Key& key, Context& ctx, const unsigned char* iv12, const unsigned char* aad,
           std::size_t aadLen) {
    key.init(&key.data, &state(ctx), iv12, 12, aad, aadLen);
}

void update(const Key& key, Context& ctx, unsigned char* out, const unsigned char* in,
            std::size_t n) {
    if (n) key.update(&key.data, &state(ctx), out, in, n);
}

void finish(const Key& key, Context& ctx, unsigned char* tag16) {
    key.finish(&key.data, &state(ctx), tag16, 16);
}

#else // built without the library

struct Key {};

bool available() {
    return false;
}
void KeyFree::operator()(Key* k) const {
    delete k;
}
KeyPtr makeKey(const unsigned char*, std::size_t, bool) {
    return nullptr;
}
void start(const Key&, Context&, const unsigned char*, const unsigned char*, std::size_t) {}
void update(const Key&, Context&, unsigned char*, const unsigned char*, std::size_t) {}
void finish(const Key&, Context&, unsigned char*) {}

#endif

} // namespace tnlrelay::net::fastgcm
