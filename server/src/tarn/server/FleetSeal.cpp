#include "tarn/server/FleetSeal.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include "tarn/server/Log.h"

namespace tarn {
namespace server {

namespace {

// Each kind of sealed text has its own label inside the MAC, so that none passes for another.
const char kRecordLabel[] = "tarn-record";
const char kMemberLabel[] = "tarn-member";
const char kForwardLabel[] = "tarn-forward";

std::string hex(const unsigned char* bytes, std::size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (std::size_t i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

// Reads a decimal number that fills text; false for anything else.
bool parseMs(const std::string& text, std::int64_t& value) {
    if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    value = std::stoll(text);
    return true;
}

// Splits "A B C" into exactly three words.
bool splitThree(const std::string& text, std::string& a, std::string& b, std::string& c) {
    const auto first = text.find(' ');
    const auto second = first == std::string::npos ? first : text.find(' ', first + 1);
    if (second == std::string::npos || text.find(' ', second + 1) != std::string::npos) {
        return false;
    }
    a = text.substr(0, first);
    b = text.substr(first + 1, second - first - 1);
    c = text.substr(second + 1);
    return true;
}

// Whether given is the MAC computed; a MAC that could not be computed ("") matches nothing.
bool sameMac(const std::string& given, const std::string& computed) {
    return !computed.empty() && given.size() == computed.size() &&
           CRYPTO_memcmp(given.data(), computed.data(), given.size()) == 0;
}

// Big-endian fields of a forward's seal.
void putBytes(unsigned char*& at, std::uint64_t value, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) {
        *at++ = static_cast<unsigned char>(value >> (8 * i));
    }
}

std::uint64_t takeBytes(const unsigned char*& at, int bytes) {
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value = value << 8 | *at++;
    }
    return value;
}

}  // namespace

// The HMAC keyed once; every MAC starts from a copy of it.
struct FleetSeal::Keyed {
    EVP_MAC* algorithm = nullptr;
    EVP_MAC_CTX* base = nullptr;
    ~Keyed() {
        EVP_MAC_CTX_free(base);
        EVP_MAC_free(algorithm);
    }
};

FleetSeal::FleetSeal(const std::string& secret, const char* digest)
    : keyed(std::make_unique<Keyed>()), nextSequence(static_cast<std::uint64_t>(wallClockMs()) * 1000) {
    keyed->algorithm = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    keyed->base = keyed->algorithm != nullptr ? EVP_MAC_CTX_new(keyed->algorithm) : nullptr;
    std::string digestName = digest;
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digestName.data(), 0),
        OSSL_PARAM_construct_end()};
    if (keyed->base == nullptr ||
        EVP_MAC_init(keyed->base, reinterpret_cast<const unsigned char*>(secret.data()), secret.size(),
                     params) != 1) {
        throw std::runtime_error("HMAC-" + digestName + " is not available from libssl");
    }
}

FleetSeal::~FleetSeal() = default;

std::string FleetSeal::readSecret(const std::string& path, std::string& secret) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return "--fleet-secret-file '" + path + "' cannot be read";
    }
    secret.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (!secret.empty() && secret.back() == '\n') {
        secret.pop_back();
    }
    if (secret.size() < kMinSecret) {
        return "--fleet-secret-file '" + path + "' holds " + std::to_string(secret.size()) +
               " bytes; the fleet's secret needs at least " + std::to_string(kMinSecret);
    }
    return {};
}

std::string FleetSeal::recordValue(const std::string& key, const std::string& server,
                                   std::int64_t expiresMs) const {
    return server + ' ' + std::to_string(expiresMs) + ' ' + macText(kRecordLabel + key, server, expiresMs);
}

FleetSeal::Record FleetSeal::openRecord(const std::string& key, const std::string& value,
                                        std::int64_t nowMs) const {
    Record record;
    std::string server;
    std::string expires;
    std::string given;
    std::int64_t expiresMs = 0;
    if (!splitThree(value, server, expires, given) || !parseMs(expires, expiresMs)) {
        return record;
    }
    if (!sameMac(given, macText(kRecordLabel + key, server, expiresMs))) {
        record.check = Check::FORGED;
    } else if (expiresMs <= nowMs) {
        record.check = Check::STALE;
    } else {
        record.check = Check::VALID;
        record.server = server;
    }
    return record;
}

std::string FleetSeal::memberEntry(const std::string& address, std::int64_t renewedMs) const {
    return address + ' ' + std::to_string(renewedMs) + ' ' + macText(kMemberLabel, address, renewedMs);
}

std::string FleetSeal::openMember(const std::string& entry, std::int64_t nowMs, std::int64_t maxAgeMs) const {
    std::string address;
    std::string renewed;
    std::string given;
    std::int64_t renewedMs = 0;
    if (!splitThree(entry, address, renewed, given) || !parseMs(renewed, renewedMs) ||
        nowMs - renewedMs > maxAgeMs || !sameMac(given, macText(kMemberLabel, address, renewedMs))) {
        return {};
    }
    return address;
}

bool FleetSeal::sealForward(std::vector<unsigned char>& message, const Hop& from, const Hop& to,
                            std::int64_t nowMs) const {
    std::array<unsigned char, kForwardSeal - kMacSize> seal{};
    unsigned char* at = seal.data();
    *at++ = kForwardTag;
    *at++ = static_cast<unsigned char>(kForwardSeal - 2);
    putBytes(at, static_cast<std::uint64_t>(nowMs), 8);
    putBytes(at, from.address, 4);
    putBytes(at, from.port, 2);
    putBytes(at, to.address, 4);
    putBytes(at, to.port, 2);
    putBytes(at, nextSequence.fetch_add(1, std::memory_order_relaxed), 8);
    Mac sealed{};
    if (!mac({{kForwardLabel, sizeof kForwardLabel},
              {message.data(), message.size()},
              {seal.data() + 2, seal.size() - 2}},
             sealed)) {
        return false;
    }
    message.insert(message.end(), seal.begin(), seal.end());
    message.insert(message.end(), sealed.begin(), sealed.end());
    return true;
}

FleetSeal::Forward FleetSeal::openForward(const unsigned char* data, std::size_t length,
                                          std::int64_t nowMs) const {
    Forward forward;
    if (length < kForwardSeal) {
        return forward;
    }
    const unsigned char* seal = data + length - kForwardSeal;
    if (seal[0] != kForwardTag || seal[1] != kForwardSeal - 2) {
        return forward;
    }
    const unsigned char* fields = seal + 2;
    const unsigned char* macAt = data + length - kMacSize;
    Mac expected{};
    if (!mac({{kForwardLabel, sizeof kForwardLabel},
              {data, length - kForwardSeal},
              {fields, static_cast<std::size_t>(macAt - fields)}},
             expected) ||
        CRYPTO_memcmp(expected.data(), macAt, kMacSize) != 0) {
        forward.check = Check::FORGED;
        return forward;
    }
    const auto madeMs = static_cast<std::int64_t>(takeBytes(fields, 8));
    forward.from.address = static_cast<std::uint32_t>(takeBytes(fields, 4));
    forward.from.port = static_cast<std::uint16_t>(takeBytes(fields, 2));
    forward.to.address = static_cast<std::uint32_t>(takeBytes(fields, 4));
    forward.to.port = static_cast<std::uint16_t>(takeBytes(fields, 2));
    forward.sequence = takeBytes(fields, 8);
    const std::int64_t age = nowMs - madeMs;
    forward.check =
        age > kForwardMaxAge.count() || -age > kForwardMaxAge.count() ? Check::STALE : Check::VALID;
    return forward;
}

std::int64_t FleetSeal::wallClockMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool FleetSeal::mac(const std::vector<std::pair<const void*, std::size_t>>& parts, Mac& out) const {
    EVP_MAC_CTX* context = EVP_MAC_CTX_dup(keyed->base);
    std::size_t written = 0;
    bool done = context != nullptr;
    for (const auto& [bytes, length] : parts) {
        done = done && EVP_MAC_update(context, static_cast<const unsigned char*>(bytes), length) == 1;
    }
    done = done && EVP_MAC_final(context, out.data(), &written, out.size()) == 1 && written == out.size();
    EVP_MAC_CTX_free(context);
    if (!done) {
        // Fails closed: whatever out holds now is never compared, so nothing passes for sealed.
        Log::warn("no HMAC could be made (libssl failed): the record or forward counts as forged");
    }
    return done;
}

std::string FleetSeal::macText(const std::string& a, const std::string& b, std::int64_t c) const {
    const std::string number = std::to_string(c);
    Mac result{};
    if (!mac({{a.data(), a.size() + 1}, {b.data(), b.size() + 1}, {number.data(), number.size()}}, result)) {
        return {};
    }
    return hex(result.data(), result.size());
}

}  // namespace server
}  // namespace tarn
