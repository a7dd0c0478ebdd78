// Hand-written, not generated: the helpers declared in MessageHelpers.h.
#include "tarn/generated/MessageHelpers.h"

#include <climits>
#include <locale>
#include <sstream>

#include <boost/asio/ip/address_v4.hpp>

namespace tarn::generated {

const unsigned char ADDRESS_XOR_MASK[4] = {0x21, 0x12, 0xA4, 0x42};

namespace {

using AddressBytes = boost::asio::ip::address_v4::bytes_type;

AddressBytes applyMask(AddressBytes bytes, bool xorAddress) {
    if (xorAddress) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] ^= ADDRESS_XOR_MASK[i];
        }
    }
    return bytes;
}

boost::asio::ip::address_v4 toV4(const boost::asio::ip::address& address) {
    if (address.is_v4()) {
        return address.to_v4();
    }
    const boost::asio::ip::address_v6 v6 = address.to_v6();
    if (v6.is_v4_mapped()) {
        return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, v6);
    }
    // The wire carries IPv4 only; an IPv6 endpoint has no encoding and goes out as the any-address.
    return boost::asio::ip::address_v4::any();
}

// Enum values the schema does not declare have no name; their number keeps the log line useful.
template <typename Enum>
std::string nameOrNumber(const std::string& name, Enum value) {
    return name.empty() ? std::to_string(static_cast<int>(value)) : name;
}

}  // namespace

void encodeAddress(IPv4& out, const Endpoint& endpoint, bool xorAddress) {
    const AddressBytes bytes = applyMask(toV4(endpoint.address()).to_bytes(), xorAddress);
    out.set_address(bytes.data(), bytes.size());
    out.set_port(endpoint.port());
}

bool decodeAddress(const IPv4& in, Endpoint& out, bool xorAddress) {
    AddressBytes bytes{};
    if (in.address().size() < bytes.size()) {
        return false;
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<unsigned char>(in.address()[i]);
    }
    // Only the low 16 bits of the port field can name a UDP port.
    out = Endpoint(boost::asio::ip::address_v4(applyMask(bytes, xorAddress)),
                   static_cast<unsigned short>(in.port()));
    return true;
}

void addChangeRequest(Content& message, Attribute::Change change) {
    Attribute* attribute = message.add_attributes();
    attribute->set_type(Attribute::CHANGE_REQUEST);
    attribute->set_change(change);
}

void addGameId(Content& message, const std::string& gameId) {
    Attribute* attribute = message.add_attributes();
    attribute->set_type(Attribute::GAME_ID);
    attribute->set_gameid(gameId);
}

bool getGameId(const Content& message, std::string& gameId) {
    bool found = false;
    for (const Attribute& attribute : message.attributes()) {
        if (attribute.type() == Attribute::GAME_ID && attribute.has_gameid()) {
            gameId = attribute.gameid();
            found = true;
        }
    }
    return found;
}

void addAddress(Content& message, Attribute::Type type, const Endpoint& endpoint, bool xorAddress) {
    Attribute* attribute = message.add_attributes();
    attribute->set_type(type);
    encodeAddress(*attribute->mutable_address(), endpoint, xorAddress);
}

bool findAddress(const Content& message, Attribute::Type type, Endpoint& endpoint, bool xorAddress) {
    bool found = false;
    for (const Attribute& attribute : message.attributes()) {
        // An address of fewer than four bytes is treated as absent rather than read past its end.
        if (attribute.type() == type && attribute.has_address() &&
            decodeAddress(attribute.address(), endpoint, xorAddress)) {
            found = true;
        }
    }
    return found;
}

bool getMappedAddress(const Content& message, Endpoint& endpoint, bool xorAddress) {
    return findAddress(message, Attribute::XOR_MAPPED_ADDRESS, endpoint, xorAddress);
}

bool getP2PMappedAddress(const Content& message, Endpoint& endpoint, bool xorAddress) {
    return findAddress(message, Attribute::XOR_P2P_MAPPED_ADDRESS, endpoint, xorAddress);
}

bool getResponseTargets(const Content& message, EndpointList& targets, bool xorAddress) {
    targets.clear();
    for (const Attribute& attribute : message.attributes()) {
        Endpoint target;
        if (attribute.type() == Attribute::XOR_RESPONSE_TARGET && attribute.has_address() &&
            decodeAddress(attribute.address(), target, xorAddress)) {
            targets.push_back(target);
        }
    }
    return !targets.empty();
}

std::size_t serializeMessage(const Content& message, unsigned char* buffer, std::size_t size) {
    // Only the size decides: a message that lacks a required field is still encoded, and its
    // receivers refuse it.
    const std::size_t length = message.ByteSizeLong();
    if (length > size || length > static_cast<std::size_t>(INT_MAX)) {
        return 0;
    }
    if (!message.SerializePartialToArray(buffer, static_cast<int>(length))) {
        return 0;
    }
    return length;
}

bool parseMessage(Content& message, const unsigned char* bytes, std::size_t length) {
    if (length > static_cast<std::size_t>(INT_MAX)) {
        message.Clear();
        return false;
    }
    // The partial parse plus our own check keeps protobuf from printing an error for every stray
    // datagram that lacks a required field.
    return message.ParsePartialFromArray(bytes, static_cast<int>(length)) && message.IsInitialized();
}

std::string typeName(Content::Type type) {
    return nameOrNumber(Content::Type_Name(type), type);
}

std::string errorName(Content::Error error) {
    return nameOrNumber(Content::Error_Name(error), error);
}

std::string attributeTypeName(Attribute::Type type) {
    return nameOrNumber(Attribute::Type_Name(type), type);
}

std::string changeName(Attribute::Change change) {
    return nameOrNumber(Attribute::Change_Name(change), change);
}

std::string idlVersion() {
    return Content::default_instance().idlversion();
}

std::string messageToString(const Content& message) {
    std::ostringstream out;
    // Numbers read the same under any host locale: no digit grouping in ids or ports.
    out.imbue(std::locale::classic());
    out << "[type=" << typeName(message.type());
    if (message.has_error()) {
        out << ", error=" << errorName(message.error());
    }
    if (message.has_uuid()) {
        out << ", uuid=[" << message.uuid().uuid_upper() << "," << message.uuid().uuid_lower() << "]";
    }
    out << ", attributes=[";
    bool first = true;
    for (const Attribute& attribute : message.attributes()) {
        if (!first) {
            out << ", ";
        }
        first = false;
        out << attributeTypeName(attribute.type()) << "=";
        if (attribute.has_address()) {
            Endpoint endpoint;
            if (decodeAddress(attribute.address(), endpoint, true)) {
                out << endpoint;
            } else {
                out << "(short address)";
            }
        } else if (attribute.has_gameid()) {
            out << attribute.gameid();
        } else if (attribute.has_change()) {
            out << changeName(attribute.change());
        }
    }
    out << "]]";
    return out.str();
}

}  // namespace tarn::generated
