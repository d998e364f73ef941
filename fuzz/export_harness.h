// Runs one export over the scripted platform with a reply, arguments, transport outcome and
// result buffer taken from the fuzz input, then checks what the caller's buffer received.
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
//   body each "{{sig:PAYLOAD}}" becomes the genuine signature of PAYLOAD.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/reply_reader.h"
#include "fake_platform.h"
#include "halvane.h"
#include "fuzz_common.h"
#include "platform/platform.h"

namespace halvane::fuzzing {

struct ExportArguments {
    const HalvaneChar* key;
    const HalvaneChar* account;
    const HalvaneChar* answers;
    int64_t brokerTime;
};

using ExportInvoker = void (*)(const ExportArguments& arguments, HalvaneChar* result, int32_t length);

struct ExportFamily {
    ExportInvoker v1;
    ExportInvoker v2;            // null when the operation has no V2 export
    bool withAnswers;
    const char16_t* path;
    // The result text for the reply (or transport error token) the operation receives.
    std::string (*expect)(const std::string& reply);
};

// Canary in every code unit the export must not write, the buffer's and the guard's.
inline constexpr char16_t kCanary = 0xBEEF;
inline constexpr std::size_t kGuardUnits = 64;

inline std::string Field(const std::string& reply, const char* name) { return ExtractReplyField(reply, name); }

// The refusal branch every signed operation shares.
inline std::string MessageOrError(const std::string& reply) {
    std::string message = Field(reply, "message");
    return message.empty() ? std::string("ERROR") : message;
}

inline bool Genuine(const std::string& payload, const std::string& signature) {
    return fake::Sign(payload) == signature;
}

inline std::string WithSignatures(std::string body) {
    static constexpr std::string_view kOpen = "{{sig:";
    std::size_t from = 0;
    for (int done = 0; done < 4; ++done) {
        const std::size_t open = body.find(kOpen, from);
        if (open == std::string::npos) break;
        const std::size_t close = body.find("}}", open + kOpen.size());
        if (close == std::string::npos) break;
        const std::string payload = body.substr(open + kOpen.size(), close - open - kOpen.size());
        const std::string signature = fake::Sign(payload);
        body.replace(open, close + 2 - open, signature);
        from = open + signature.size();
    }
    return body;
}

// What the caller's buffer must hold after delivery of `text` into `length` units.
inline std::u16string ExpectedDelivery(const std::string& text, int32_t length) {
    const int needed = platform::Utf8ToWide(text.c_str(), nullptr, 0);
    if (needed > 0 && needed <= length) {
        std::u16string units(static_cast<std::size_t>(needed), u'\0');
        FUZZ_CHECK(platform::Utf8ToWide(text.c_str(), units.data(), needed) == needed);
        return units;
    }
    return length >= 6 ? std::u16string(u"ERROR", 6) : std::u16string(1, u'\0');
}

inline const HalvaneChar* Pointer(const std::u16string& text, std::size_t count) {
    return count == 0 ? nullptr : reinterpret_cast<const HalvaneChar*>(text.c_str());
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
    const std::string body = WithSignatures(input.Rest());

    const bool v2 = (flags & 1) != 0 && family.v2 != nullptr;
    const int32_t length = (lengthSeed & 0x8000) != 0 ? static_cast<int32_t>(lengthSeed & 15) - 2
                                                      : static_cast<int32_t>(lengthSeed % 4097);
    const bool nullBuffer = (flags & 0x80) != 0;

    const ExportArguments arguments{Pointer(key, keyCount), Pointer(account, accountCount),
                                    Pointer(answers, answersCount), brokerTime};
    const bool withAnswers = family.withAnswers;
    const bool withBrokerTime = v2;

    // The transport outcome.
    fake::Reset();
    fake::HttpScript& http = fake::state().http;
    std::vector<std::string> chunks;
    const std::size_t wanted = std::min<std::size_t>(((flags >> 1) & 3) + 1u, body.size());
    for (std::size_t i = 0; i < wanted; ++i) {
        const std::size_t from = body.size() * i / wanted;
        const std::size_t to = body.size() * (i + 1) / wanted;
        chunks.push_back(body.substr(from, to - from));
    }
    http.chunks = chunks;
    http.status = (flags & 0x08) != 0 ? 100u + (statusSeed * 7u) % 500u : 200u;
    static constexpr fake::Step kSteps[] = {fake::Step::OpenSession, fake::Step::Connect,
                                            fake::Step::OpenRequest, fake::Step::SendRequest,
                                            fake::Step::ReceiveResponse, fake::Step::QueryStatusCode};
    const std::optional<std::size_t> failing =
        (flags & 0x10) != 0 ? std::optional<std::size_t>(stepSeed % 6) : std::nullopt;
    if (failing) {
        http.failAt = kSteps[*failing];
        http.errorCode = 12029;
    }
    if (flags & 0x20) http.readFailsAt = static_cast<int>(stepSeed % (chunks.size() + 1));
    if (flags & 0x40) http.availabilityFailsAt = static_cast<int>((stepSeed >> 3) % (chunks.size() + 1));

    std::string reply;
    if (failing) {
        reply = *failing <= 3 ? "NETWORK_ERROR" : "SERVER_ERROR";
    } else if (http.status != 200) {
        reply = "HTTP_" + std::to_string(http.status);
    } else {
        for (std::size_t k = 0;; ++k) {
            if (static_cast<int>(k) == http.availabilityFailsAt) {
                if (!reply.empty()) reply = "READ_ERROR";  // a body that breaks off is never passed on
                break;
            }
            if (k == chunks.size()) break;
            if (static_cast<int>(k) == http.readFailsAt) {
                reply = "READ_ERROR";
                break;
            }
            reply += chunks[k];
        }
        if (reply.empty()) reply = "EMPTY_RESPONSE";
    }

    // An argument whose UTF-8 form (with its zero) does not fit its buffer stops the call.
    const std::string key8 = Utf16ToUtf8(key);
    const std::string account8 = Utf16ToUtf8(account);
    const std::string answers8 = Utf16ToUtf8(answers);
    const bool fits = key8.size() < 256 && account8.size() < 256 && (!withAnswers || answers8.size() < 2048);

    // The result buffer is followed by a guard region; its exact heap block lets
    // AddressSanitizer see any write past the guard as well.
    const std::size_t units = static_cast<std::size_t>(std::max(length, 0));
    std::vector<char16_t> buffer(units + kGuardUnits, kCanary);
    (v2 ? family.v2 : family.v1)(arguments, nullBuffer ? nullptr : reinterpret_cast<HalvaneChar*>(buffer.data()), length);
    const std::string text = fits ? family.expect(reply) : std::string("ERROR");

    // The buffer: the expected delivery, canaries beyond it, the guard untouched.
    std::u16string expected;
    if (!nullBuffer && length > 0) expected = ExpectedDelivery(text, length);
    FUZZ_CHECK(std::u16string_view(buffer.data(), expected.size()) == expected);
    for (std::size_t i = expected.size(); i < buffer.size(); ++i) FUZZ_CHECK(buffer[i] == kCanary);

    // The exchange: nothing at all for an oversized argument, else one request carrying the
    // arguments in order, and every handle closed again.
    const fake::Record& record = fake::state().record;
    FUZZ_CHECK(record.open == 0);
    if (!fits) {
        FUZZ_CHECK(record.calls.empty() && record.requests == 0);
        return;
    }
    const bool sent = !failing || *failing >= 3;
    FUZZ_CHECK(record.requests == (sent ? 1 : 0));
    if (sent) {
        FUZZ_CHECK(record.path == family.path);
        std::string wantBody = "key=" + PercentEncode(key8) + "&account=" + PercentEncode(account8);
        if (withAnswers) wantBody += "&answers=" + PercentEncode(answers8);
        wantBody += "&nonce=000102030405060708090a0b0c0d0e0f&timestamp=1700000000";
        if (withBrokerTime) wantBody += "&broker_time=" + std::to_string(brokerTime);
        FUZZ_CHECK(record.body == wantBody);
    }
}

}  // namespace halvane::fuzzing
