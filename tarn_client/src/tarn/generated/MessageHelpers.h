// Hand-written, not generated: helpers over the protoc-generated wire messages of UDPMessage.proto.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <boost/asio/ip/udp.hpp>

#include "tarn/generated/UDPMessage.pb.h"

namespace tarn::generated {

using Endpoint = boost::asio::ip::udp::endpoint;
using EndpointList = std::vector<Endpoint>;

// The four address bytes of every address attribute are XORed with this mask (0x2112A442).
extern const unsigned char ADDRESS_XOR_MASK[4];

// Writes an IPv4 endpoint into the sub-message: masked address bytes (when xor is set), plain port.
void encodeAddress(IPv4& out, const Endpoint& endpoint, bool xorAddress);
// Reads it back; false when the address does not hold at least 4 bytes.
bool decodeAddress(const IPv4& in, Endpoint& out, bool xorAddress);

// Appends a CHANGE_REQUEST attribute with change set (also for CHANGE_BOTH, so it is on the wire).
void addChangeRequest(Content& message, Attribute::Change change);
void addGameId(Content& message, const std::string& gameId);
// The last GAME_ID attribute with a game id wins; false when there is none.
bool getGameId(const Content& message, std::string& gameId);
void addAddress(Content& message, Attribute::Type type, const Endpoint& endpoint, bool xorAddress);
// The last attribute of that type that carries an address wins; false when there is none. An
// address shorter than four bytes counts as absent.
bool findAddress(const Content& message, Attribute::Type type, Endpoint& endpoint, bool xorAddress);
bool getMappedAddress(const Content& message, Endpoint& endpoint, bool xorAddress);
bool getP2PMappedAddress(const Content& message, Endpoint& endpoint, bool xorAddress);
// Empties the list, then appends every XOR_RESPONSE_TARGET address in order; true when non-empty.
// Short addresses are skipped as in findAddress.
bool getResponseTargets(const Content& message, EndpointList& targets, bool xorAddress);

// The encoded length, or 0 when the encoding does not fit into size bytes. Required fields are
// not checked: an empty message encodes to 0 bytes.
std::size_t serializeMessage(const Content& message, unsigned char* buffer, std::size_t size);
// Replaces the message; false for bytes that are no valid encoding or lack a required field.
bool parseMessage(Content& message, const unsigned char* bytes, std::size_t length);

// The names declared in the schema; a value the schema does not declare prints as its number.
std::string typeName(Content::Type type);
std::string errorName(Content::Error error);
std::string attributeTypeName(Attribute::Type type);
std::string changeName(Attribute::Change change);
// The default of IDLVersion, "2.0".
std::string idlVersion();
// [type=BIND_REQ, attributes=[CHANGE_REQUEST=CHANGE_PORT]]
std::string messageToString(const Content& message);

}  // namespace tarn::generated
