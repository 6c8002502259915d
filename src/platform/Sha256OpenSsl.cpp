#include "platform/Sha256.h"

#include <openssl/evp.h>

namespace tessel {

bool Sha256(std::string_view bytes, Sha256Digest* digest) {
    unsigned int length = 0;
    return EVP_Digest(bytes.data(), bytes.size(), digest->data(), &length, EVP_sha256(), nullptr) &&
           length == digest->size();
}

}  // namespace tessel
