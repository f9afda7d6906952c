#include "cli/crypto.h"

#include <cstring>
#include <memory>

#include "platform/text.h"

#if HWDS_HAVE_GCRYPT
#include <gcrypt.h>
#endif

namespace cli {

std::string hexOf(const uint8_t* data, std::size_t size) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 0x0F];
    }
    return text;
}

bool parseHexExact(std::string_view text, uint8_t* data, std::size_t size) {
    if (text.size() != size * 2) return false;
    for (std::size_t i = 0; i < size; ++i) {
        const int high = platform::hexDigit(text[2 * i]), low = platform::hexDigit(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        data[i] = static_cast<uint8_t>(high * 16 + low);
    }
    return true;
}

#if HWDS_HAVE_GCRYPT

namespace {

// libgcrypt wants its version checked once, before any other call.
bool initialized() {
    static const bool ready = [] {
        if (gcry_check_version(GCRYPT_VERSION) == nullptr) return false;
        // The keys live in ordinary memory: no secure pool, so no warnings about one.
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    return ready;
}

struct SexpFree {
    void operator()(gcry_sexp_t sexp) const { gcry_sexp_release(sexp); }
};
using Sexp = std::unique_ptr<gcry_sexp, SexpFree>;

Sexp build(const char* format, const void* a, std::size_t aSize, const void* b = nullptr, std::size_t bSize = 0) {
    gcry_sexp_t made = nullptr;
    const gcry_error_t e =
        gcry_sexp_build(&made, nullptr, format, static_cast<int>(aSize), a, static_cast<int>(bSize), b);
    return Sexp(e == 0 ? made : nullptr);
}

// The value of the token `name` in `sexp`, right-aligned in `size` bytes
// (libgcrypt may drop leading zeros).
bool valueOf(gcry_sexp_t sexp, const char* name, uint8_t* data, std::size_t size) {
    const Sexp token(gcry_sexp_find_token(sexp, name, 0));
    std::size_t length = 0;
    const char* value = token ? gcry_sexp_nth_data(token.get(), 1, &length) : nullptr;
    if (value == nullptr || length > size) return false;
    std::memset(data, 0, size - length);
    std::memcpy(data + (size - length), value, length);
    return true;
}

bool fail(std::string* error, const std::string& what, gcry_error_t e = 0) {
    *error = what + (e != 0 ? std::string(": ") + gcry_strerror(e) : std::string());
    return false;
}

constexpr char kMessage[] = "(data(flags eddsa)(hash-algo sha512)(value %b))";

}  // namespace

bool cryptoAvailable() { return initialized(); }

std::string sha256Hex(std::string_view bytes) {
    if (!initialized()) return {};
    uint8_t digest[32];
    gcry_md_hash_buffer(GCRY_MD_SHA256, digest, bytes.data(), bytes.size());
    return hexOf(digest, sizeof digest);
}

bool ed25519Generate(Ed25519Key* secret, Ed25519Key* publicKey, std::string* error) {
    if (!initialized()) return fail(error, kNoCrypto);
    gcry_sexp_t parameters = nullptr;
    gcry_error_t e = gcry_sexp_new(&parameters, "(genkey(ecc(curve Ed25519)(flags eddsa)))", 0, 1);
    const Sexp params(parameters);
    if (e != 0) return fail(error, "cannot make a key", e);
    gcry_sexp_t made = nullptr;
    e = gcry_pk_genkey(&made, params.get());
    const Sexp pair(made);
    if (e != 0) return fail(error, "cannot make a key", e);
    const Sexp privateKey(gcry_sexp_find_token(pair.get(), "private-key", 0));
    if (!privateKey || !valueOf(privateKey.get(), "d", secret->data(), secret->size()) ||
        !valueOf(privateKey.get(), "q", publicKey->data(), publicKey->size()))
        return fail(error, "cannot make a key: libgcrypt gave no Ed25519 key pair");
    return true;
}

bool ed25519Sign(const Ed25519Key& secret, std::string_view message, Ed25519Signature* signature, std::string* error) {
    if (!initialized()) return fail(error, kNoCrypto);
    const Sexp key = build("(private-key(ecc(curve Ed25519)(flags eddsa)(d %b)))", secret.data(), secret.size());
    const Sexp data = build(kMessage, message.data(), message.size());
    if (!key || !data) return fail(error, "cannot sign: the key or the line does not fit libgcrypt");
    gcry_sexp_t made = nullptr;
    const gcry_error_t e = gcry_pk_sign(&made, data.get(), key.get());
    const Sexp result(made);
    if (e != 0) return fail(error, "cannot sign", e);
    if (!valueOf(result.get(), "r", signature->data(), 32) || !valueOf(result.get(), "s", signature->data() + 32, 32))
        return fail(error, "cannot sign: libgcrypt gave no Ed25519 signature");
    return true;
}

bool ed25519Verify(const Ed25519Key& publicKey, std::string_view message, const Ed25519Signature& signature) {
    if (!initialized()) return false;
    const Sexp key = build("(public-key(ecc(curve Ed25519)(flags eddsa)(q %b)))", publicKey.data(), publicKey.size());
    const Sexp data = build(kMessage, message.data(), message.size());
    const Sexp value = build("(sig-val(eddsa(r %b)(s %b)))", signature.data(), 32, signature.data() + 32, 32);
    return key && data && value && gcry_pk_verify(value.get(), data.get(), key.get()) == 0;
}

#else

bool cryptoAvailable() { return false; }

std::string sha256Hex(std::string_view) { return {}; }

bool ed25519Generate(Ed25519Key*, Ed25519Key*, std::string* error) {
    *error = kNoCrypto;
    return false;
}

bool ed25519Sign(const Ed25519Key&, std::string_view, Ed25519Signature*, std::string* error) {
    *error = kNoCrypto;
    return false;
}

bool ed25519Verify(const Ed25519Key&, std::string_view, const Ed25519Signature&) { return false; }

#endif

}  // namespace cli
