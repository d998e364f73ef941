// The stored pieces of the signing key, generated at configure time: the key is each table
// byte combined with the mask by exclusive or.
#pragma once

#include <cstdint>

namespace halvane {

extern const uint8_t kSignatureKeyTable[32];
extern const volatile uint8_t kSignatureKeyMask;

}  // namespace halvane
