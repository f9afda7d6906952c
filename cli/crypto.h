// Hashes and signatures of the journal, through libgcrypt. A build without
// libgcrypt (the 32-bit x86 Linux cross build) has none of them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace cli {

using Ed25519Key = std::array<uint8_t, 32>;        // a private key (RFC 8032's seed) or a public key
using Ed25519Signature = std::array<uint8_t, 64>;  // R then S, as RFC 8032 encodes them

// Whether this build has the cryptography; when not, everything below fails.
bool cryptoAvailable();
// Why it fails where it is not available.
inline constexpr char kNoCrypto[] = "this build of hwds has no cryptography (it was built without libgcrypt)";

// The SHA-256 of the bytes in lower-case hexadecimal; empty without libgcrypt.
std::string sha256Hex(std::string_view bytes);

bool ed25519Generate(Ed25519Key* secret, Ed25519Key* publicKey, std::string* error);
bool ed25519Sign(const Ed25519Key& secret, std::string_view message, Ed25519Signature* signature, std::string* error);
bool ed25519Verify(const Ed25519Key& publicKey, std::string_view message, const Ed25519Signature& signature);

// Lower-case hexadecimal digits, no blanks.
std::string hexOf(const uint8_t* data, std::size_t size);
// Exactly 2 * size hexadecimal digits of either case, nothing else.
bool parseHexExact(std::string_view text, uint8_t* data, std::size_t size);

}  // namespace cli
