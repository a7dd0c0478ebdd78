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

bool sameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
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

FleetSeal::FleetSeal(const std::string& secret) : keyed(std::make_unique<Keyed>()) {
    keyed->algorithm = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    keyed->base = keyed->algorithm != nullptr ? EVP_MAC_CTX_new(keyed->algorithm) : nullptr;
    char digest[] = "SHA256";
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                                 OSSL_PARAM_construct_end()};
    if (keyed->base == nullptr ||
        EVP_MAC_init(keyed->base, reinterpret_cast<const unsigned char*>(secret.data()), secret.size(),
                     params) != 1) {
        throw std::runtime_error("HMAC-SHA256 is not available from libssl");
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
    if (!sameText(given, macText(kRecordLabel + key, server, expiresMs))) {
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
        nowMs - renewedMs > maxAgeMs || !sameText(given, macText(kMemberLabel, address, renewedMs))) {
        return {};
    }
    return address;
}

void FleetSeal::sealForward(std::vector<unsigned char>& message, std::int64_t nowMs) const {
    unsigned char time[8];
    for (int i = 0; i < 8; ++i) {
        time[i] = static_cast<unsigned char>(static_cast<std::uint64_t>(nowMs) >> (56 - 8 * i));
    }
    const Mac sealed =
        mac({{kForwardLabel, sizeof kForwardLabel}, {message.data(), message.size()}, {time, 8}});
    message.push_back(kForwardTag);
    message.push_back(static_cast<unsigned char>(kForwardSeal - 2));
    message.insert(message.end(), time, time + 8);
    message.insert(message.end(), sealed.begin(), sealed.end());
}

FleetSeal::Check FleetSeal::openForward(const unsigned char* data, std::size_t length,
                                        std::int64_t nowMs) const {
    if (length < kForwardSeal) {
        return Check::UNSEALED;
    }
    const unsigned char* seal = data + length - kForwardSeal;
    if (seal[0] != kForwardTag || seal[1] != kForwardSeal - 2) {
        return Check::UNSEALED;
    }
    std::uint64_t time = 0;
    for (int i = 0; i < 8; ++i) {
        time = time << 8 | seal[2 + i];
    }
    const Mac expected =
        mac({{kForwardLabel, sizeof kForwardLabel}, {data, length - kForwardSeal}, {seal + 2, 8}});
    if (CRYPTO_memcmp(expected.data(), seal + 10, kMacSize) != 0) {
        return Check::FORGED;
    }
    const std::int64_t age = nowMs - static_cast<std::int64_t>(time);
    return age > kForwardMaxAge.count() || -age > kForwardMaxAge.count() ? Check::STALE : Check::VALID;
}

std::int64_t FleetSeal::wallClockMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

FleetSeal::Mac FleetSeal::mac(const std::vector<std::pair<const void*, std::size_t>>& parts) const {
    Mac out{};
    EVP_MAC_CTX* context = EVP_MAC_CTX_dup(keyed->base);
    std::size_t written = 0;
    bool done = context != nullptr;
    for (const auto& [bytes, length] : parts) {
        done = done && EVP_MAC_update(context, static_cast<const unsigned char*>(bytes), length) == 1;
    }
    done = done && EVP_MAC_final(context, out.data(), &written, out.size()) == 1 && written == out.size();
    EVP_MAC_CTX_free(context);
    if (!done) {
        // Only memory running out gets here; a MAC of zeros matches nothing a peer made.
        out.fill(0);
    }
    return out;
}

std::string FleetSeal::macText(const std::string& a, const std::string& b, std::int64_t c) const {
    const std::string number = std::to_string(c);
    const Mac result =
        mac({{a.data(), a.size() + 1}, {b.data(), b.size() + 1}, {number.data(), number.size()}});
    return hex(result.data(), result.size());
}

}  // namespace server
}  // namespace tarn
