// Key material, through the platform's cryptography API (CNG): for new keys the key value from
// the system's random generator and the derived key by PBKDF2 with HMAC-SHA-256; for `verify`
// the derivation made again.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace KeyTool {

enum class KeyEncoding { Hex, Base64 };

inline constexpr ULONG kKeyBytes = 32;
inline constexpr ULONG kSaltBytes = 16;
inline constexpr ULONG kDerivationIterations = 100000;

struct KeyMaterial {
    std::wstring value;    // kKeyBytes random bytes, encoded
    std::wstring derived;  // PBKDF2-HMAC-SHA-256(value bytes, salt, iterations), kKeyBytes, encoded
    std::wstring salt;     // kSaltBytes random bytes, encoded
    ULONG iterations = kDerivationIterations;
};

// Throws Failure (kExitRefused) naming the CNG call that failed.
KeyMaterial NewKeyMaterial(KeyEncoding encoding, ULONG iterations = kDerivationIterations);

// PBKDF2-HMAC-SHA-256 of value with salt and iterations, kKeyBytes long. Throws Failure
// (kExitRefused) naming the CNG call that failed.
std::vector<BYTE> DeriveKey(const std::vector<BYTE>& value, const std::vector<BYTE>& salt,
                            ULONG iterations);

// The bytes of text in the encoding (hex in either case; Base64 padded and without line breaks,
// as EncodeBytes writes it); false for text that is not valid in it.
bool DecodeBytes(const std::wstring& text, KeyEncoding encoding, std::vector<BYTE>& bytes);

// Lower-case hex or Base64 (no line breaks) of bytes, through CryptBinaryToStringW.
std::wstring EncodeBytes(const std::vector<BYTE>& bytes, KeyEncoding encoding);

}  // namespace KeyTool
