#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tarn {
namespace server {

// The fleet's proof that a store record, an entry of the fleet's member set or a forwarded relay
// was made by one of its servers: an HMAC-SHA256 under the secret every server of the fleet reads
// from the same file. Whoever can write to the store but lacks the secret can neither aim a
// server's datagrams anywhere nor pass for a server. Safe to use from several threads at once.
class FleetSeal {
public:
    static constexpr std::size_t kMacSize = 32;
    // A secret shorter than this is refused: it could be guessed.
    static constexpr std::size_t kMinSecret = 16;
    // A forward older than this, or this far ahead (the fleet's clocks differ a little), is
    // refused, so that a captured forward cannot be played again later.
    static constexpr std::chrono::milliseconds kForwardMaxAge{5000};
    // A forward ends with its seal, as field 15 of Content (which no client reads, and every
    // protobuf parser skips): tag 0x7A, length 40, the time it was made (ms since the epoch, 8
    // bytes big-endian) and the MAC over the message before the seal and that time.
    static constexpr unsigned char kForwardTag = 0x7A;
    static constexpr std::size_t kForwardSeal = 2 + 8 + kMacSize;

    enum class Check { VALID, UNSEALED, MALFORMED, FORGED, STALE };
    // A record's reading: the server endpoint ("ADDR:PORT") when valid.
    struct Record {
        Check check = Check::MALFORMED;
        std::string server;
    };

    // The secret as read; its length is checked by readSecret().
    explicit FleetSeal(const std::string& secret);
    ~FleetSeal();
    FleetSeal(const FleetSeal&) = delete;
    FleetSeal& operator=(const FleetSeal&) = delete;

    // Reads the secret: the file's content less one trailing newline. Returns the problem, or "".
    static std::string readSecret(const std::string& path, std::string& secret);

    // The value stored under key for a record naming server that expires at expiresMs (wall
    // clock): "SERVER EXPIRES MAC" with the MAC in hex over key, server and expiry.
    std::string recordValue(const std::string& key, const std::string& server, std::int64_t expiresMs) const;
    // Reads a record found under key at nowMs: Forged when the MAC does not match (another key's
    // record counts as forged), Stale once it has expired.
    Record openRecord(const std::string& key, const std::string& value, std::int64_t nowMs) const;
    // An entry of the fleet's member set: "ADDR MS MAC", ADDR renewed at MS.
    std::string memberEntry(const std::string& address, std::int64_t renewedMs) const;
    // The address of a valid entry renewed no more than maxAgeMs before nowMs, else "".
    std::string openMember(const std::string& entry, std::int64_t nowMs, std::int64_t maxAgeMs) const;
    // Appends the seal to a serialized forward made at nowMs.
    void sealForward(std::vector<unsigned char>& message, std::int64_t nowMs) const;
    // Whether a datagram received at nowMs ends with a seal (Unsealed if not) and whether it holds.
    Check openForward(const unsigned char* data, std::size_t length, std::int64_t nowMs) const;

    // Milliseconds since the epoch by the wall clock, which the fleet's servers share.
    static std::int64_t wallClockMs();

private:
    using Mac = std::array<unsigned char, kMacSize>;
    Mac mac(const std::vector<std::pair<const void*, std::size_t>>& parts) const;
    std::string macText(const std::string& a, const std::string& b, std::int64_t c) const;

    struct Keyed;
    std::unique_ptr<Keyed> keyed;
};

}  // namespace server
}  // namespace tarn
