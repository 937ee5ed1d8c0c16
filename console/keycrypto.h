// Key material for new keys, from the platform's cryptography API (CNG): the key value from the
// system's random generator and the derived key by PBKDF2 with HMAC-SHA-256.
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
KeyMaterial NewKeyMaterial(KeyEncoding encoding);

// Lower-case hex or Base64 (no line breaks) of bytes, through CryptBinaryToStringW.
std::wstring EncodeBytes(const std::vector<BYTE>& bytes, KeyEncoding encoding);

}  // namespace KeyTool
