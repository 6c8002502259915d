#include "platform/Sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>

namespace tessel {

bool Sha256(std::string_view bytes, Sha256Digest* digest) {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return false;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
    // The input length is a ULONG: more than 4 GiB is hashed a gigabyte at a time.
    for (size_t at = 0; ok && at < bytes.size();) {
        const ULONG chunk = static_cast<ULONG>(std::min<size_t>(bytes.size() - at, 0x40000000));
        auto* data = reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data() + at));
        ok = BCRYPT_SUCCESS(BCryptHashData(hash, data, chunk, 0));
        at += chunk;
    }
    ok = ok && BCRYPT_SUCCESS(BCryptFinishHash(hash, digest->data(), static_cast<ULONG>(digest->size()), 0));
    if (hash) BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return ok;
}

}  // namespace tessel
