// Runs one export over the scripted platform with a reply, arguments, transport outcome and
// result buffer taken from the fuzz input, then checks what holds whatever the reply says:
// the result is always terminated and nothing is written past it; a success text only comes
// with a genuine signature; every other text is a fixed one or the reply's own; a broken
// exchange gives the transport failure's text; the request carries the arguments in order;
// every handle is closed again.
//
// Input layout (missing bytes read as zero):
//   [0]      flags: bit 0 the V2 export, bits 1-2 chunks - 1, bit 3 a non-200 status,
//            bit 4 a failing HTTP step, bit 5 a failing read, bit 6 a failing availability
//            query, bit 7 a null result buffer
//   [1..2]   result length: with bit 15 set, (value & 15) - 2 (tiny ones), else value % 4097
//   [3]      status code seed
//   [4]      failing step / chunk seed
//   [5], [6] key and account length in UTF-16 units (0: a null pointer)
//   [7..8]   answers length in UTF-16 units, modulo 2200 (0: a null pointer)
//   [9..16]  broker time
//   then the key, account and answers units (little-endian), then the reply body. In the
//   body the first four "{{hmac:PAYLOAD}}" become the genuine signature of PAYLOAD (in upper
//   case for "{{HMAC:PAYLOAD}}").
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/reply_reader.h"
#include "export_call.h"
#include "fake_platform.h"
#include "fuzz_common.h"

namespace halvane::fuzzing {

using test::Export;

struct ExportFamily {
    Export v1;
    std::optional<Export> v2;  // none when the operation has no V2 export
    // Signed operations only: whether `text` (its UTF-16 `units`) is one of the operation's
    // success texts for `reply`, and whether a genuine signature over `payload` in a reply
    // stamped `timestamp` vouches for that text.
    bool (*claimsSuccess)(const std::u16string& units, const std::string& text, const std::string& reply) = nullptr;
    bool (*vouches)(const std::string& text, const std::string& payload, const std::string& timestamp) = nullptr;
};

// Whether `units` are `bytes` in UTF-16 by the independent UTF-8 model, each stretch of
// bytes that starts no valid sequence given as one to as many U+FFFD as it has bytes. A
// U+FFFD in the text may also be one the bytes spell, so a stretch can match in several
// ways: the bytes are read once, keeping every place in the text they can have reached.
inline bool IsUtf16Of(std::u16string_view units, std::string_view bytes) {
    std::vector<char> reached(units.size() + 1, 0), next(units.size() + 1);
    reached[0] = 1;
    while (!bytes.empty()) {
        std::fill(next.begin(), next.end(), 0);
        std::u32string codePoints;
        const std::size_t valid = ValidUtf8Prefix(bytes, &codePoints);
        if (valid > 0) {
            const std::u16string run = CodePointsToUtf16(codePoints);
            for (std::size_t at = 0; at + run.size() <= units.size(); ++at) {
                if (reached[at] && units.substr(at, run.size()) == run) next[at + run.size()] = 1;
            }
            bytes.remove_prefix(valid);
        } else {
            std::size_t stretch = 1;
            while (stretch < bytes.size() && ValidUtf8Prefix(bytes.substr(stretch, 4)) == 0) ++stretch;
            for (std::size_t at = 0; at < units.size(); ++at) {
                if (!reached[at]) continue;
                for (std::size_t n = 1; n <= stretch && at + n <= units.size() && units[at + n - 1] == 0xFFFD; ++n) {
                    next[at + n] = 1;
                }
            }
            bytes.remove_prefix(stretch);
        }
        reached.swap(next);
    }
    return reached[units.size()] != 0;
}

// Whether `units` are the text `bytes` delivers: up to its first zero, in UTF-16.
inline bool IsConversionOf(const std::u16string& units, const std::string& bytes) {
    return IsUtf16Of(units, std::string_view(bytes).substr(0, bytes.find('\0')));
}

inline const char16_t* Pointer(const std::u16string& text, std::size_t count) {
    return count == 0 ? nullptr : text.c_str();
}

inline void RunExportCase(const uint8_t* data, std::size_t size, const ExportFamily& family) {
    InputReader input(data, size);
    const uint8_t flags = input.Byte();
    const uint16_t lengthSeed = input.U16();
    const uint8_t statusSeed = input.Byte();
    const uint8_t stepSeed = input.Byte();
    const std::size_t keyCount = input.Byte();
    const std::size_t accountCount = input.Byte();
    const std::size_t answersCount = input.U16() % 2200;
    const auto brokerTime = static_cast<int64_t>(input.U64());
    const std::u16string key = input.Units(keyCount);
    const std::u16string account = input.Units(accountCount);
    const std::u16string answers = input.Units(answersCount);
    std::vector<std::string> signedPayloads;
    const std::string body = fake::WithSignatures(input.Rest(), &signedPayloads, 4);

    const Export which = (flags & 1) != 0 && family.v2 ? *family.v2 : family.v1;
    const int32_t length = (lengthSeed & 0x8000) != 0 ? static_cast<int32_t>(lengthSeed & 15) - 2
                                                      : static_cast<int32_t>(lengthSeed % 4097);
    const bool nullBuffer = (flags & 0x80) != 0;
    const bool isSigned = family.claimsSuccess != nullptr;

    // The transport outcome.
    fake::HttpScript& http = fake::Reset().http;
    const std::size_t wanted = std::min<std::size_t>(((flags >> 1) & 3) + 1u, body.size());
    for (std::size_t i = 0; i < wanted; ++i) {
        const std::size_t from = body.size() * i / wanted;
        const std::size_t to = body.size() * (i + 1) / wanted;
        http.chunks.push_back(body.substr(from, to - from));
    }
    const int chunkCount = static_cast<int>(http.chunks.size());
    http.status = (flags & 0x08) != 0 ? 100u + (statusSeed * 7u) % 500u : 200u;
    const bool stepFails = (flags & 0x10) != 0;
    if (stepFails) {
        http.failAt = static_cast<fake::Step>(1 + stepSeed % 6);  // any of the six after Step::None
        http.errorCode = 12029;
    }
    if (flags & 0x20) http.readFailsAt = stepSeed % (chunkCount + 1);
    if (flags & 0x40) http.availabilityFailsAt = (stepSeed >> 3) % (chunkCount + 1);
    // The service's reply reaches the module whole only when no step of the exchange fails.
    const bool whole = !stepFails && http.status == 200 && !body.empty() &&
                       (http.readFailsAt < 0 || http.readFailsAt >= chunkCount) && http.availabilityFailsAt < 0;

    // An argument whose UTF-8 form (with its zero) does not fit its buffer stops the call.
    const std::string key8 = Utf16ToUtf8(key);
    const std::string account8 = Utf16ToUtf8(account);
    const std::string answers8 = Utf16ToUtf8(answers);
    const bool withAnswers = test::HasAnswers(which);
    const bool fits = key8.size() < 256 && account8.size() < 256 && (!withAnswers || answers8.size() < 2048);

    // The guarded buffer is an exact heap block: AddressSanitizer sees any write past the guard too.
    test::GuardedBuffer buffer(length);
    test::CallExport(
        {which, Pointer(key, keyCount), Pointer(account, accountCount), Pointer(answers, answersCount), brokerTime},
        nullBuffer ? nullptr : buffer.result(), length);

    // The exchange: nothing at all for an oversized argument, else at most one request
    // carrying the arguments in order, and every handle closed again.
    const fake::Record& record = fake::state().record;
    FUZZ_CHECK(record.open == 0);
    if (!fits) FUZZ_CHECK(record.calls.empty() && record.requests == 0);
    FUZZ_CHECK(record.requests <= (fits ? 1 : 0));
    if (fits && !stepFails) FUZZ_CHECK(record.requests == 1);
    if (record.requests == 1) {
        FUZZ_CHECK(record.path == test::PathOf(which));
        std::string wantBody = "key=" + test::FormEncoded(key8) + "&account=" + test::FormEncoded(account8);
        if (withAnswers) wantBody += "&answers=" + test::FormEncoded(answers8);
        wantBody += "&nonce=000102030405060708090a0b0c0d0e0f&timestamp=1700000000";
        if (test::HasBrokerTime(which)) wantBody += "&broker_time=" + std::to_string(brokerTime);
        FUZZ_CHECK(record.body == wantBody);
    }

    // The buffer: nothing in the guard; no buffer, nothing written; else a text and its zero
    // within the length, canaries after them.
    const test::Outcome outcome = buffer.outcome();
    FUZZ_CHECK(outcome.guardIntact);
    constexpr std::size_t kNone = std::u16string::npos;
    if (nullBuffer || length <= 0) {
        FUZZ_CHECK(outcome.units.find_first_not_of(test::kCanary) == kNone);
        return;
    }
    const std::size_t zero = outcome.units.find(u'\0');
    FUZZ_CHECK(zero != kNone);  // always terminated
    FUZZ_CHECK(outcome.units.find_first_not_of(test::kCanary, zero + 1) == kNone);
    const std::u16string delivered = outcome.units.substr(0, zero);
    FUZZ_CHECK(IsWellFormedUtf16(delivered));
    const std::string text = Utf16ToUtf8(delivered);

    if (!fits) {
        FUZZ_CHECK(outcome.units == test::Delivered("ERROR", length));
        return;
    }
    // Every transport failure, an empty reply included, reads the same.
    if (!whole) {
        FUZZ_CHECK(outcome.units == test::Delivered(isSigned ? "ERROR" : "", length));
        return;
    }
    if (text.empty() || text == "ERROR" || (isSigned && text == "SIGNATURE_INVALID")) return;
    // A refusal's message may read like a success text; any other text that claims success
    // must come with a genuine signature for exactly what it claims.
    if (isSigned && !IsConversionOf(delivered, ExtractReplyField(body, "message")) &&
        family.claimsSuccess(delivered, text, body)) {
        const std::string signature = ExtractReplyField(body, "signature");
        const std::string timestamp = ExtractReplyField(body, "timestamp");
        // A zero byte in a field ends the text early, and bytes that are not UTF-8 read as
        // U+FFFD: then the text cannot be matched with the payload, only the signature checked.
        const bool exact = body.find('\0') == std::string::npos && delivered.find(u'\uFFFD') == std::u16string::npos;
        FUZZ_CHECK(std::any_of(signedPayloads.begin(), signedPayloads.end(), [&](const std::string& payload) {
            return fake::Sign(payload) == signature && (!exact || family.vouches(text, payload, timestamp));
        }));
        return;
    }
    // Every other text is the reply's own (checked where the reply's bytes were valid).
    if (delivered.find(u'\uFFFD') == std::u16string::npos) FUZZ_CHECK(body.find(text) != std::string::npos);
}

}  // namespace halvane::fuzzing

// The libFuzzer entry point of a target that runs `family`'s exports.
#define HALVANE_EXPORT_FUZZ_TARGET(family)                                         \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) { \
        ::halvane::fuzzing::RunExportCase(data, size, family);                     \
        return 0;                                                                  \
    }
