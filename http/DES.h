// DES single-block encryption (FIPS 46-3), as NTLM's LM and NT responses need it.
//
// Pure functions: no state, no allocation, callable from any thread. Only
// encryption is provided; NTLM never decrypts.
#pragma once

#include <array>
#include <cstdint>

namespace http {

using TDesBlock = std::array<uint8_t, 8>;

// Encrypts one 8-byte block under an 8-byte key. Bits are numbered from the most
// significant bit of the first byte; the lowest bit of each key byte (parity) is
// not used by the key schedule.
TDesBlock DesEncryptBlock(const TDesBlock& Key8, const TDesBlock& Block8);

// Spreads 56 key bits over eight bytes, seven bits each in the upper bit
// positions: output byte i holds input bits 7i to 7i+6 (most significant first);
// the lowest bit of every output byte is 0.
TDesBlock DesKeyFrom7(const uint8_t* Bytes7);

}  // namespace http
