// SHA-256 and HMAC written out for the tests, so that expected signatures never come from
// the code under test.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <iterator>
#include <string_view>

#include "fake_platform.h"

namespace halvane::fake {

namespace {

struct Sha256 {
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::string pending;
    uint64_t total = 0;

    static uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

    void Block(const unsigned char* p) {
        static const uint32_t k[64] = {
            0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
            0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
            0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
            0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
            0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
            0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
            0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
            0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
        uint32_t w[64];
        for (int i = 0; i < 16; ++i) {
            w[i] = uint32_t(p[4 * i]) << 24 | uint32_t(p[4 * i + 1]) << 16 | uint32_t(p[4 * i + 2]) << 8 | p[4 * i + 3];
        }
        for (int i = 16; i < 64; ++i) {
            uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        // The working variables a to h, as v[0] to v[7].
        uint32_t v[8];
        std::copy(std::begin(h), std::end(h), v);
        for (int i = 0; i < 64; ++i) {
            const uint32_t e = v[4], a = v[0];
            uint32_t t1 = v[7] + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & v[5]) ^ (~e & v[6])) + k[i] + w[i];
            uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & v[1]) ^ (a & v[2]) ^ (v[1] & v[2]));
            std::copy_backward(v, v + 7, v + 8);  // h = g, g = f, ..., b = a
            v[4] += t1;                           // e = d + t1
            v[0] = t1 + t2;
        }
        for (int i = 0; i < 8; ++i) h[i] += v[i];
    }

    void Update(const std::string& data) {
        total += data.size();
        pending += data;
        std::size_t at = 0;
        for (; at + 64 <= pending.size(); at += 64) Block(reinterpret_cast<const unsigned char*>(pending.data() + at));
        pending.erase(0, at);
    }

    std::string Finish() {
        const uint64_t bits = total * 8;
        std::string pad(1, '\x80');
        while ((pending.size() + pad.size()) % 64 != 56) pad.push_back('\0');
        for (int i = 7; i >= 0; --i) pad.push_back(static_cast<char>(bits >> (8 * i)));
        Update(pad);
        std::string out;
        for (uint32_t word : h) {
            for (int i = 3; i >= 0; --i) out.push_back(static_cast<char>(word >> (8 * i)));
        }
        return out;
    }
};

std::string Digest(const std::string& data) {
    Sha256 sha;
    sha.Update(data);
    return sha.Finish();
}

}  // namespace

std::string ReferenceHmacHex(const std::string& message, const uint8_t* key, std::size_t keySize) {
    std::string block(reinterpret_cast<const char*>(key), keySize);
    if (block.size() > 64) block = Digest(block);
    block.resize(64, '\0');
    std::string inner(64, '\0'), outer(64, '\0');
    for (int i = 0; i < 64; ++i) {
        inner[i] = static_cast<char>(block[i] ^ 0x36);
        outer[i] = static_cast<char>(block[i] ^ 0x5c);
    }
    return LowerHex(Digest(outer + Digest(inner + message)));
}

std::string LowerHex(std::string_view bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) hex += {kHex[c >> 4], kHex[c & 15]};
    return hex;
}

std::array<uint8_t, 32> ConfiguredKey() {
    const char* hex = HALVANE_TEST_SIGNING_KEY;
    std::array<uint8_t, 32> key{};
    auto nibble = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
    for (std::size_t i = 0; i < key.size(); ++i) {
        key[i] = static_cast<uint8_t>(nibble(hex[2 * i]) << 4 | nibble(hex[2 * i + 1]));
    }
    return key;
}

std::string Sign(const std::string& payload) {
    const auto key = ConfiguredKey();
    return ReferenceHmacHex(payload, key.data(), key.size());
}

std::string WithSignatures(std::string reply, std::vector<std::string>* payloads, std::size_t most) {
    static constexpr std::string_view kOpen = "{{hmac:", kOpenUpper = "{{HMAC:";
    for (std::size_t from = 0, done = 0; done < most; ++done) {
        const std::size_t open = std::min(reply.find(kOpen, from), reply.find(kOpenUpper, from));
        const std::size_t close = reply.find("}}", open);
        if (close == std::string::npos) break;  // no placeholder left, or one never closed
        const std::string payload = reply.substr(open + kOpen.size(), close - open - kOpen.size());
        std::string signature = Sign(payload);
        if (reply[open + 2] == 'H') {
            std::transform(signature.begin(), signature.end(), signature.begin(),
                           [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
        }
        if (payloads != nullptr) payloads->push_back(payload);
        reply.replace(open, close + 2 - open, signature);
        from = open + signature.size();
    }
    return reply;
}

}  // namespace halvane::fake
