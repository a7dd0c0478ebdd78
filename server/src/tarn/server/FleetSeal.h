#pragma once

#include <array>
#include <atomic>
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
// server's datagrams anywhere nor pass for a server. A MAC that cannot be made (libssl out of
// memory) is logged and matches nothing: nothing unsealed passes. Safe to use from several threads
// at once.
class FleetSeal {
public:
    static constexpr std::size_t kMacSize = 32;
    // A secret shorter than this is refused: it could be guessed.
    static constexpr std::size_t kMinSecret = 16;
    // A forward older than this, or this far ahead (the fleet's clocks differ a little), is
    // refused, so that a captured forward cannot be played again later; within it, ReplayWindow
    // refuses a number seen before.
    static constexpr std::chrono::milliseconds kForwardMaxAge{5000};
    // A forward ends with its seal, as field 15 of Content (which no client reads, and every
    // protobuf parser skips): tag 0x7A, length 60, then, big-endian, the time it was made (ms
    // since the epoch, 8 bytes), the sending server's endpoint and the receiving one's (address 4
    // bytes, port 2 each), the sender's number for it (8 bytes), and the MAC over the message
    // before the seal and all of these. A forward is good for one receiver, once.
    static constexpr unsigned char kForwardTag = 0x7A;
    static constexpr std::size_t kForwardSeal = 2 + 8 + 6 + 6 + 8 + kMacSize;

    enum class Check { VALID, UNSEALED, MALFORMED, FORGED, STALE };
    // A record's reading: the server endpoint ("ADDR:PORT") when valid.
    struct Record {
        Check check = Check::MALFORMED;
        std::string server;
    };
    // One end of a forward: a server's IPv4 address (host order) and port.
    struct Hop {
        std::uint32_t address = 0;
        std::uint16_t port = 0;
        bool operator==(const Hop& other) const { return address == other.address && port == other.port; }
        bool operator!=(const Hop& other) const { return !(*this == other); }
    };
    // A forward's reading: what its seal says when valid.
    struct Forward {
        Check check = Check::UNSEALED;
        Hop from;
        Hop to;
        std::uint64_t sequence = 0;
    };

    // The secret as read; its length is checked by readSecret(). The fleet's servers all use
    // SHA256; a digest whose MAC is not 32 bytes long makes every MAC fail, as a test wants it.
    explicit FleetSeal(const std::string& secret, const char* digest = "SHA256");
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
    // Appends the seal to a serialized forward made at nowMs from one server's endpoint to
    // another's, under this server's next number; false (message unchanged) when no MAC could be made.
    bool sealForward(std::vector<unsigned char>& message, const Hop& from, const Hop& to,
                     std::int64_t nowMs) const;
    // Whether a datagram received at nowMs ends with a seal (Unsealed if not), whether it holds,
    // and what it says.
    Forward openForward(const unsigned char* data, std::size_t length, std::int64_t nowMs) const;

    // Milliseconds since the epoch by the wall clock, which the fleet's servers share.
    static std::int64_t wallClockMs();

private:
    using Mac = std::array<unsigned char, kMacSize>;
    // The MAC over parts into out; false after a log line when libssl could not make it.
    bool mac(const std::vector<std::pair<const void*, std::size_t>>& parts, Mac& out) const;
    // The MAC over a, b and c in hex; "" when it could not be made, which no text matches.
    std::string macText(const std::string& a, const std::string& b, std::int64_t c) const;

    struct Keyed;
    std::unique_ptr<Keyed> keyed;
    // The number of the next forward sealed here. It starts at the wall clock in microseconds, so
    // that a server started again numbers above what it sent before (unless its clock went back).
    mutable std::atomic<std::uint64_t> nextSequence;
};

}  // namespace server
}  // namespace tarn
