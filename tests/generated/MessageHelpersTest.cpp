#include "tarn/generated/MessageHelpers.h"

#include <cstdint>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "ScopedGroupingLocale.h"
#include "UdpPeer.h"

namespace tarn {
namespace generated {
namespace {

using Bytes = std::vector<unsigned char>;
using tarn::test::endpoint;

constexpr std::size_t kBufferSize = 2048;

Bytes encode(const Content& message) {
    Bytes buffer(kBufferSize);
    buffer.resize(serializeMessage(message, buffer.data(), buffer.size()));
    return buffer;
}

bool decode(const Bytes& bytes, Content& message) {
    return parseMessage(message, bytes.data(), bytes.size());
}

Content bare(Content::Type type) {
    Content message;
    message.set_type(type);
    return message;
}

// A ping with every field kind: error, UUID of client -2 from 192.168.1.5, a game id, two
// response targets and a change request with the default value.
Content fullMessage() {
    Content message = bare(Content::PING_DIRECT);
    message.set_error(Content::BAD_MSG_CONTENT);
    message.mutable_uuid()->set_uuid_upper(static_cast<std::uint64_t>(std::int64_t{-2}));
    message.mutable_uuid()->set_uuid_lower(0xC0A80105u);
    addGameId(message, "g7");
    addAddress(message, Attribute::XOR_RESPONSE_TARGET, endpoint("192.168.1.5", 6000), true);
    addAddress(message, Attribute::XOR_RESPONSE_TARGET, endpoint("127.0.0.2", 1), true);
    addChangeRequest(message, Attribute::CHANGE_BOTH);
    return message;
}

const Bytes kFullMessageBytes = {
    0x08, 0x14,                                            // field 1 (type), varint 20 = PING_DIRECT
    0x10, 0x64,                                            // field 2 (error), varint 100 = BAD_MSG_CONTENT
    0x1A, 0x12,                                            // field 3 (uuid), 18 bytes
    0x09, 0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,  //   uuid_upper, fixed64 LE: -2 sign-extended
    0x11, 0x05, 0x01, 0xA8, 0xC0, 0x00, 0x00, 0x00, 0x00,  //   uuid_lower, fixed64 LE: 0xC0A80105
    0x22, 0x06,                                            // field 4 (attribute), 6 bytes
    0x08, 0x06,                                            //   type, varint 6 = GAME_ID
    0x22, 0x02, 0x67, 0x37,                                //   field 4 (gameID), "g7"
    0x22, 0x0D,                                            // field 4 (attribute), 13 bytes
    0x08, 0x04,                                            //   type, varint 4 = XOR_RESPONSE_TARGET
    0x12, 0x09,                                            //   field 2 (address), 9 bytes
    0x08, 0xF0, 0x2E,                                      //     port, varint 6000
    0x12, 0x04, 0xE1, 0xBA, 0xA5, 0x47,                    //     address, C0 A8 01 05 ^ 21 12 A4 42
    0x22, 0x0C,                                            // field 4 (attribute), 12 bytes
    0x08, 0x04,                                            //   type, varint 4 = XOR_RESPONSE_TARGET
    0x12, 0x08,                                            //   field 2 (address), 8 bytes
    0x08, 0x01,                                            //     port, varint 1
    0x12, 0x04, 0x5E, 0x12, 0xA4, 0x40,                    //     address, 7F 00 00 02 ^ 21 12 A4 42
    0x22, 0x04,                                            // field 4 (attribute), 4 bytes
    0x08, 0x00,                                            //   type, varint 0 = CHANGE_REQUEST
    0x18, 0x00,                                            //   field 3 (change), varint 0 = CHANGE_BOTH
};

// Runs protoc with the schema as an independent encoder/decoder. Bounded by a deadline; a protoc
// that overruns it is killed by its pid.
bool runProtoc(const std::string& mode, const std::string& input, std::string& output) {
    tarn::test::ChildProcess::Options options;
    options.input = true;
    tarn::test::ChildProcess protoc({TARN_PROTOC, std::string("--proto_path=") + TARN_SCHEMA_DIR, mode,
                                     std::string(TARN_SCHEMA_DIR) + "/UDPMessage.proto"},
                                    options);
    // The inputs are far below a pipe's capacity, so this write cannot block on the child.
    const bool written = protoc.write(input);
    protoc.closeInput();
    const int exitCode = protoc.exitCode(10000);
    output = protoc.output();
    return written && exitCode == 0;
}

std::string protocDecode(const Bytes& bytes) {
    std::string text;
    EXPECT_TRUE(runProtoc("--decode=tarn.generated.Content", std::string(bytes.begin(), bytes.end()), text));
    return text;
}

Bytes protocEncode(const std::string& text) {
    std::string bytes;
    EXPECT_TRUE(runProtoc("--encode=tarn.generated.Content", text, bytes));
    return Bytes(bytes.begin(), bytes.end());
}

TEST(MessageHelpers, BareBindRequestIsTwoBytes) {
    const Bytes expected = {
        0x08, 0x0A,  // field 1 (type), varint 10 = BIND_REQ
    };
    EXPECT_EQ(encode(bare(Content::BIND_REQ)), expected);
}

TEST(MessageHelpers, AddressIsMaskedAndPortIsPlain) {
    IPv4 address;
    encodeAddress(address, endpoint("10.0.0.1", 5000), true);
    EXPECT_EQ(address.address(), std::string("\x2B\x12\xA4\x43", 4));
    EXPECT_EQ(address.port(), 5000u);

    Content message = bare(Content::BIND_RESP);
    addAddress(message, Attribute::XOR_MAPPED_ADDRESS, endpoint("10.0.0.1", 5000), true);
    const Bytes expected = {
        0x08, 0x0B,                          // field 1 (type), varint 11 = BIND_RESP
        0x22, 0x0D,                          // field 4 (attribute), 13 bytes
        0x08, 0x01,                          //   type, varint 1 = XOR_MAPPED_ADDRESS
        0x12, 0x09,                          //   field 2 (address), 9 bytes
        0x08, 0x88, 0x27,                    //     port, varint 5000
        0x12, 0x04, 0x2B, 0x12, 0xA4, 0x43,  //     address, 0A 00 00 01 ^ 21 12 A4 42
    };
    EXPECT_EQ(encode(message), expected);

    Content decoded;
    ASSERT_TRUE(decode(expected, decoded));
    Endpoint mapped;
    ASSERT_TRUE(getMappedAddress(decoded, mapped, true));
    EXPECT_EQ(mapped, endpoint("10.0.0.1", 5000));
}

TEST(MessageHelpers, AddressCodecRoundTrips) {
    struct Case {
        const char* address;
        unsigned short port;
        bool xorAddress;
        std::string wireAddress;
    };
    const Case cases[] = {
        {"10.0.0.1", 5000, true, std::string("\x2B\x12\xA4\x43", 4)},
        {"10.0.0.1", 5000, false, std::string("\x0A\x00\x00\x01", 4)},
        {"0.0.0.0", 0, true, std::string("\x21\x12\xA4\x42", 4)},
        {"255.255.255.255", 65535, true, std::string("\xDE\xED\x5B\xBD", 4)},
        {"33.18.164.66", 13434, true, std::string(4, '\0')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.address) + (c.xorAddress ? " masked" : " plain"));
        IPv4 wire;
        encodeAddress(wire, endpoint(c.address, c.port), c.xorAddress);
        EXPECT_EQ(wire.address(), c.wireAddress);
        EXPECT_EQ(wire.port(), c.port);
        Endpoint back;
        ASSERT_TRUE(decodeAddress(wire, back, c.xorAddress));
        EXPECT_EQ(back, endpoint(c.address, c.port));
    }
}

TEST(MessageHelpers, DecodeAddressUsesFirstFourBytesAndRefusesFewer) {
    IPv4 wire;
    wire.set_port(70000);  // Above 16 bits: only the low 16 bits (4464) name a port.
    wire.set_address(std::string("\x2B\x12\xA4\x43\x99\x99", 6));
    Endpoint decoded;
    ASSERT_TRUE(decodeAddress(wire, decoded, true));
    EXPECT_EQ(decoded, endpoint("10.0.0.1", 4464));

    wire.set_address(std::string("\x2B\x12\xA4", 3));
    Endpoint untouched = endpoint("1.2.3.4", 9);
    EXPECT_FALSE(decodeAddress(wire, untouched, true));
    EXPECT_EQ(untouched, endpoint("1.2.3.4", 9));
}

TEST(MessageHelpers, FullMessageMatchesHandWrittenBytes) {
    EXPECT_EQ(encode(fullMessage()), kFullMessageBytes);

    Content decoded;
    ASSERT_TRUE(decode(kFullMessageBytes, decoded));
    EXPECT_EQ(decoded.type(), Content::PING_DIRECT);
    EXPECT_EQ(decoded.error(), Content::BAD_MSG_CONTENT);
    EXPECT_EQ(static_cast<std::int64_t>(decoded.uuid().uuid_upper()), -2);
    EXPECT_EQ(decoded.uuid().uuid_lower(), 0xC0A80105u);
    std::string gameId;
    ASSERT_TRUE(getGameId(decoded, gameId));
    EXPECT_EQ(gameId, "g7");
    EndpointList targets;
    ASSERT_TRUE(getResponseTargets(decoded, targets, true));
    EXPECT_THAT(targets, testing::ElementsAre(endpoint("192.168.1.5", 6000), endpoint("127.0.0.2", 1)));
    ASSERT_EQ(decoded.attributes_size(), 4);
    EXPECT_TRUE(decoded.attributes(3).has_change());
    EXPECT_EQ(decoded.attributes(3).change(), Attribute::CHANGE_BOTH);
    EXPECT_FALSE(decoded.has_idlversion());
    EXPECT_EQ(decoded.idlversion(), "2.0");
}

TEST(MessageHelpers, ChangeRequestAlwaysCarriesItsValue) {
    struct Case {
        Attribute::Change change;
        unsigned char wireValue;
    };
    const Case cases[] = {
        {Attribute::CHANGE_BOTH, 0x00}, {Attribute::CHANGE_ADDR, 0x01}, {Attribute::CHANGE_PORT, 0x02}};
    for (const Case& c : cases) {
        SCOPED_TRACE(changeName(c.change));
        Content message = bare(Content::BIND_REQ);
        addChangeRequest(message, c.change);
        const Bytes expected = {
            0x08, 0x0A,         // field 1 (type), varint 10 = BIND_REQ
            0x22, 0x04,         // field 4 (attribute), 4 bytes
            0x08, 0x00,         //   type, varint 0 = CHANGE_REQUEST
            0x18, c.wireValue,  //   field 3 (change)
        };
        EXPECT_EQ(encode(message), expected);
    }
}

TEST(MessageHelpers, DecodingFollowsProto2Rules) {
    struct Case {
        const char* what;
        Bytes bytes;
        bool parses;
    };
    const Case cases[] = {
        {"empty: type missing", {}, false},
        {"unknown type value", {0x08, 0x63}, false},
        {"unknown optional error value keeps the default", {0x08, 0x0A, 0x10, 0x63}, true},
        {"unknown attribute type", {0x08, 0x0A, 0x22, 0x02, 0x08, 0x63}, false},
        {"unknown change value keeps the default", {0x08, 0x0A, 0x22, 0x04, 0x08, 0x00, 0x18, 0x09}, true},
        {"attribute without type", {0x08, 0x0A, 0x22, 0x00}, false},
        {"uuid without lower half", {0x08, 0x14, 0x1A, 0x09, 0x09, 1, 2, 3, 4, 5, 6, 7, 8}, false},
        {"address without bytes", {0x08, 0x0B, 0x22, 0x06, 0x08, 0x01, 0x12, 0x02, 0x08, 0x01}, false},
        {"address without port",
         {0x08, 0x0B, 0x22, 0x08, 0x08, 0x01, 0x12, 0x04, 0x12, 0x02, 0x0A, 0x00},
         false},
        {"tag without value", {0x08}, false},
        {"varint cut short", {0x08, 0x8A}, false},
        {"length beyond the end", {0x08, 0x0A, 0x22, 0x0D, 0x08, 0x01}, false},
        {"type on the wrong wire type", {0x0A, 0x01, 0x0A}, false},
        {"field number zero", {0x00, 0x0A}, false},
        {"unknown fields are skipped",
         {0x08, 0x0A,                                       // field 1 (type), BIND_REQ
          0x48, 0x05,                                       // field 9, varint 5
          0x7A, 0x02, 0x41, 0x42,                           // field 15, 2 bytes
          0x35, 0x01, 0x02, 0x03, 0x04,                     // field 6, fixed32
          0x22, 0x04, 0x08, 0x06, 0x58, 0x01,               // attribute GAME_ID with unknown field 11
          0xF9, 0x01, 1,    2,    3,    4,    5, 6, 7, 8},  // field 31, fixed64
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Content message = fullMessage();
        EXPECT_EQ(decode(c.bytes, message), c.parses);
        if (c.parses) {
            EXPECT_EQ(message.type(), Content::BIND_REQ);
            EXPECT_FALSE(message.has_error());
            EXPECT_EQ(message.error(), Content::NO_ERROR);
            EXPECT_FALSE(message.has_uuid());
        }
    }

    Content changed;
    ASSERT_TRUE(decode({0x08, 0x0A, 0x22, 0x04, 0x08, 0x00, 0x18, 0x09}, changed));
    ASSERT_EQ(changed.attributes_size(), 1);
    EXPECT_FALSE(changed.attributes(0).has_change());
    EXPECT_EQ(changed.attributes(0).change(), Attribute::CHANGE_BOTH);
}

TEST(MessageHelpers, ReceivedVersionOverridesTheDefault) {
    const Bytes bytes = {
        0x08, 0x0B,                    // field 1 (type), varint 11 = BIND_RESP
        0x2A, 0x03, 0x33, 0x2E, 0x31,  // field 5 (IDLVersion), "3.1"
    };
    Content message;
    ASSERT_TRUE(decode(bytes, message));
    EXPECT_EQ(message.idlversion(), "3.1");
    EXPECT_EQ(idlVersion(), "2.0");
}

TEST(MessageHelpers, SerializeRefusesOnlyWhatDoesNotFit) {
    const Content message = fullMessage();
    Bytes buffer(kFullMessageBytes.size());
    EXPECT_EQ(serializeMessage(message, buffer.data(), buffer.size()), kFullMessageBytes.size());
    EXPECT_EQ(buffer, kFullMessageBytes);
    EXPECT_EQ(serializeMessage(message, buffer.data(), buffer.size() - 1), 0u);
    EXPECT_EQ(serializeMessage(message, buffer.data(), 0), 0u);

    // Nothing set at all: the encoding is empty.
    Content untyped;
    EXPECT_EQ(serializeMessage(untyped, buffer.data(), buffer.size()), 0u);

    // A missing required field does not stop the encoding; the receiving side refuses the bytes.
    Content halfUuid = bare(Content::PING_DIRECT);
    halfUuid.mutable_uuid()->set_uuid_upper(1);
    const Bytes halfUuidBytes = {
        0x08, 0x14,                                            // field 1 (type), varint 20 = PING_DIRECT
        0x1A, 0x09,                                            // field 3 (uuid), 9 bytes
        0x09, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  //   uuid_upper, fixed64 LE: 1
    };
    EXPECT_EQ(encode(halfUuid), halfUuidBytes);
    Content decoded;
    EXPECT_FALSE(decode(halfUuidBytes, decoded));

    Content untypedAttribute;
    addGameId(untypedAttribute, "g");
    const Bytes untypedBytes = {
        0x22, 0x05,        // field 4 (attribute), 5 bytes
        0x08, 0x06,        //   type, varint 6 = GAME_ID
        0x22, 0x01, 0x67,  //   field 4 (gameID), "g"
    };
    EXPECT_EQ(encode(untypedAttribute), untypedBytes);
    EXPECT_FALSE(decode(untypedBytes, decoded));

    Content tooBig = bare(Content::PING_DIRECT);
    addGameId(tooBig, std::string(kBufferSize, 'x'));
    Bytes big(kBufferSize);
    EXPECT_EQ(serializeMessage(tooBig, big.data(), big.size()), 0u);
}

TEST(MessageHelpers, AddressLookupsSkipAttributesWithoutAddress) {
    Content message = bare(Content::BIND_RESP);
    addAddress(message, Attribute::XOR_MAPPED_ADDRESS, endpoint("10.0.0.1", 1), true);
    message.add_attributes()->set_type(Attribute::XOR_MAPPED_ADDRESS);  // no address
    addAddress(message, Attribute::XOR_P2P_MAPPED_ADDRESS, endpoint("10.0.0.9", 9), true);
    addAddress(message, Attribute::XOR_MAPPED_ADDRESS, endpoint("10.0.0.2", 2), true);
    message.add_attributes()->set_type(Attribute::XOR_MAPPED_ADDRESS);  // no address, after the last one
    Attribute* shortAddress = message.add_attributes();
    shortAddress->set_type(Attribute::XOR_MAPPED_ADDRESS);
    shortAddress->mutable_address()->set_port(3);
    shortAddress->mutable_address()->set_address("\x01\x02", 2);

    Endpoint found;
    ASSERT_TRUE(getMappedAddress(message, found, true));
    EXPECT_EQ(found, endpoint("10.0.0.2", 2));
    ASSERT_TRUE(getP2PMappedAddress(message, found, true));
    EXPECT_EQ(found, endpoint("10.0.0.9", 9));

    Endpoint untouched = endpoint("1.1.1.1", 1);
    EXPECT_FALSE(findAddress(message, Attribute::XOR_REFLECTED_FROM, untouched, true));
    EXPECT_EQ(untouched, endpoint("1.1.1.1", 1));

    Content onlyEmpty = bare(Content::BIND_RESP);
    onlyEmpty.add_attributes()->set_type(Attribute::XOR_MAPPED_ADDRESS);
    EXPECT_FALSE(getMappedAddress(onlyEmpty, untouched, true));
}

TEST(MessageHelpers, ResponseTargetsReplaceTheListInOrder) {
    Content message = bare(Content::PING_DIRECT);
    addAddress(message, Attribute::XOR_RESPONSE_TARGET, endpoint("10.0.0.3", 3), true);
    addAddress(message, Attribute::XOR_REFLECTED_FROM, endpoint("10.0.0.8", 8), true);
    message.add_attributes()->set_type(Attribute::XOR_RESPONSE_TARGET);  // no address
    addAddress(message, Attribute::XOR_RESPONSE_TARGET, endpoint("10.0.0.1", 1), true);

    EndpointList targets = {endpoint("9.9.9.9", 9)};
    ASSERT_TRUE(getResponseTargets(message, targets, true));
    EXPECT_THAT(targets, testing::ElementsAre(endpoint("10.0.0.3", 3), endpoint("10.0.0.1", 1)));

    EXPECT_FALSE(getResponseTargets(bare(Content::PING_DIRECT), targets, true));
    EXPECT_TRUE(targets.empty());
}

TEST(MessageHelpers, LastGameIdWins) {
    Content message = bare(Content::PING_DIRECT);
    std::string gameId = "unchanged";
    EXPECT_FALSE(getGameId(message, gameId));
    EXPECT_EQ(gameId, "unchanged");

    addGameId(message, "first");
    addGameId(message, "");
    message.add_attributes()->set_type(Attribute::GAME_ID);  // no game id
    Attribute* otherType = message.add_attributes();
    otherType->set_type(Attribute::CHANGE_REQUEST);
    otherType->set_gameid("not a game attribute");
    ASSERT_TRUE(getGameId(message, gameId));
    EXPECT_EQ(gameId, "");
}

TEST(MessageHelpers, NamesAreTheDeclaredOnes) {
    EXPECT_EQ(typeName(Content::ERROR), "ERROR");
    EXPECT_EQ(typeName(Content::BIND_REQ), "BIND_REQ");
    EXPECT_EQ(typeName(Content::BIND_RESP), "BIND_RESP");
    EXPECT_EQ(typeName(Content::PING_DIRECT), "PING_DIRECT");
    EXPECT_EQ(typeName(Content::PING_RELAY), "PING_RELAY");
    EXPECT_EQ(typeName(Content::PING_RESP), "PING_RESP");
    EXPECT_EQ(typeName(Content::PING_CONFIRM), "PING_CONFIRM");
    EXPECT_EQ(typeName(static_cast<Content::Type>(42)), "42");
    EXPECT_EQ(errorName(Content::NO_ERROR), "NO_ERROR");
    EXPECT_EQ(errorName(Content::BAD_MSG_CONTENT), "BAD_MSG_CONTENT");
    EXPECT_EQ(errorName(Content::UNKNOWN_MSG_TYPE), "UNKNOWN_MSG_TYPE");
    EXPECT_EQ(errorName(Content::NO_PEER_SPECIFIED), "NO_PEER_SPECIFIED");
    EXPECT_EQ(attributeTypeName(Attribute::CHANGE_REQUEST), "CHANGE_REQUEST");
    EXPECT_EQ(attributeTypeName(Attribute::XOR_MAPPED_ADDRESS), "XOR_MAPPED_ADDRESS");
    EXPECT_EQ(attributeTypeName(Attribute::XOR_RESPONSE_ORIGIN), "XOR_RESPONSE_ORIGIN");
    EXPECT_EQ(attributeTypeName(Attribute::XOR_OTHER_ADDRESS), "XOR_OTHER_ADDRESS");
    EXPECT_EQ(attributeTypeName(Attribute::XOR_RESPONSE_TARGET), "XOR_RESPONSE_TARGET");
    EXPECT_EQ(attributeTypeName(Attribute::XOR_REFLECTED_FROM), "XOR_REFLECTED_FROM");
    EXPECT_EQ(attributeTypeName(Attribute::GAME_ID), "GAME_ID");
    EXPECT_EQ(attributeTypeName(Attribute::XOR_P2P_MAPPED_ADDRESS), "XOR_P2P_MAPPED_ADDRESS");
    EXPECT_EQ(changeName(Attribute::CHANGE_BOTH), "CHANGE_BOTH");
    EXPECT_EQ(changeName(Attribute::CHANGE_ADDR), "CHANGE_ADDR");
    EXPECT_EQ(changeName(Attribute::CHANGE_PORT), "CHANGE_PORT");
}

TEST(MessageHelpers, TextFormShowsEveryAttributeKind) {
    Content changePort = bare(Content::BIND_REQ);
    addChangeRequest(changePort, Attribute::CHANGE_PORT);

    Content noValue = bare(Content::BIND_RESP);
    noValue.add_attributes()->set_type(Attribute::XOR_OTHER_ADDRESS);
    addAddress(noValue, Attribute::XOR_MAPPED_ADDRESS, endpoint("10.0.0.1", 5000), true);

    // An address wins over a game id, a game id over a change value.
    Content precedence = bare(Content::PING_RESP);
    Attribute* both = precedence.add_attributes();
    both->set_type(Attribute::XOR_P2P_MAPPED_ADDRESS);
    encodeAddress(*both->mutable_address(), endpoint("127.0.0.2", 7), true);
    both->set_gameid("hidden");
    Attribute* gameAndChange = precedence.add_attributes();
    gameAndChange->set_type(Attribute::GAME_ID);
    gameAndChange->set_gameid("g1");
    gameAndChange->set_change(Attribute::CHANGE_ADDR);

    Content positiveUuid = bare(Content::PING_CONFIRM);
    positiveUuid.mutable_uuid()->set_uuid_upper(7);
    positiveUuid.mutable_uuid()->set_uuid_lower(0);
    positiveUuid.set_error(Content::NO_ERROR);

    struct Case {
        Content message;
        std::string text;
    };
    const Case cases[] = {
        {bare(Content::BIND_REQ), "[type=BIND_REQ, attributes=[]]"},
        {changePort, "[type=BIND_REQ, attributes=[CHANGE_REQUEST=CHANGE_PORT]]"},
        {noValue, "[type=BIND_RESP, attributes=[XOR_OTHER_ADDRESS=, XOR_MAPPED_ADDRESS=10.0.0.1:5000]]"},
        {precedence, "[type=PING_RESP, attributes=[XOR_P2P_MAPPED_ADDRESS=127.0.0.2:7, GAME_ID=g1]]"},
        {positiveUuid, "[type=PING_CONFIRM, error=NO_ERROR, uuid=[7,0], attributes=[]]"},
        {fullMessage(),
         "[type=PING_DIRECT, error=BAD_MSG_CONTENT, uuid=[18446744073709551614,3232235781], "
         "attributes=[GAME_ID=g7, XOR_RESPONSE_TARGET=192.168.1.5:6000, XOR_RESPONSE_TARGET=127.0.0.2:1, "
         "CHANGE_REQUEST=CHANGE_BOTH]]"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(messageToString(c.message), c.text);
    }
    // A host locale that groups digits changes nothing: ids and ports are written plainly.
    const tarn::test::ScopedGroupingLocale grouping;
    for (const Case& c : cases) {
        EXPECT_EQ(messageToString(c.message), c.text);
    }
}

TEST(MessageHelpers, ProtocDecodesOurBytesFieldForField) {
    const std::string expected =
        "type: PING_DIRECT\n"
        "error: BAD_MSG_CONTENT\n"
        "uuid {\n"
        "  uuid_upper: 18446744073709551614\n"
        "  uuid_lower: 3232235781\n"
        "}\n"
        "attributes {\n"
        "  type: GAME_ID\n"
        "  gameID: \"g7\"\n"
        "}\n"
        "attributes {\n"
        "  type: XOR_RESPONSE_TARGET\n"
        "  address {\n"
        "    port: 6000\n"
        "    address: \"\\341\\272\\245G\"\n"
        "  }\n"
        "}\n"
        "attributes {\n"
        "  type: XOR_RESPONSE_TARGET\n"
        "  address {\n"
        "    port: 1\n"
        "    address: \"^\\022\\244@\"\n"
        "  }\n"
        "}\n"
        "attributes {\n"
        "  type: CHANGE_REQUEST\n"
        "  change: CHANGE_BOTH\n"
        "}\n";
    EXPECT_EQ(protocDecode(encode(fullMessage())), expected);
}

TEST(MessageHelpers, ProtocEncodedBytesDecodeFieldForField) {
    const std::string text =
        "type: BIND_RESP\n"
        "error: NO_PEER_SPECIFIED\n"
        "attributes { type: XOR_MAPPED_ADDRESS address { port: 5000 address: \"+\\022\\244C\" } }\n"
        "attributes { type: XOR_RESPONSE_ORIGIN address { port: 13435 address: \"!\\022\\244C\" } }\n"
        "IDLVersion: \"2.1\"\n";
    const Bytes bytes = protocEncode(text);
    Content decoded;
    ASSERT_TRUE(decode(bytes, decoded));
    EXPECT_EQ(decoded.type(), Content::BIND_RESP);
    EXPECT_EQ(decoded.error(), Content::NO_PEER_SPECIFIED);
    EXPECT_FALSE(decoded.has_uuid());
    EXPECT_EQ(decoded.idlversion(), "2.1");
    Endpoint found;
    ASSERT_TRUE(getMappedAddress(decoded, found, true));
    EXPECT_EQ(found, endpoint("10.0.0.1", 5000));
    ASSERT_TRUE(findAddress(decoded, Attribute::XOR_RESPONSE_ORIGIN, found, true));
    EXPECT_EQ(found, endpoint("0.0.0.1", 13435));

    // The same message built by the library encodes to the very same bytes.
    Content built = bare(Content::BIND_RESP);
    built.set_error(Content::NO_PEER_SPECIFIED);
    addAddress(built, Attribute::XOR_MAPPED_ADDRESS, endpoint("10.0.0.1", 5000), true);
    addAddress(built, Attribute::XOR_RESPONSE_ORIGIN, endpoint("0.0.0.1", 13435), true);
    built.set_idlversion("2.1");
    EXPECT_EQ(encode(built), bytes);
}

TEST(MessageHelpers, MessagesRoundTripThroughProtoc) {
    Content gameOnly = bare(Content::PING_CONFIRM);
    addGameId(gameOnly, "game \"quoted\" \\ \xC3\xA9");
    Content relay = bare(Content::PING_RELAY);
    addAddress(relay, Attribute::XOR_REFLECTED_FROM, endpoint("203.0.113.7", 40000), true);
    addAddress(relay, Attribute::XOR_RESPONSE_TARGET, endpoint("198.51.100.1", 65535), true);
    Content changeAddr = bare(Content::BIND_REQ);
    addChangeRequest(changeAddr, Attribute::CHANGE_ADDR);

    const Content messages[] = {
        bare(Content::BIND_REQ), bare(Content::ERROR), gameOnly, relay, changeAddr, fullMessage()};
    for (const Content& message : messages) {
        SCOPED_TRACE(messageToString(message));
        const Bytes ours = encode(message);
        ASSERT_FALSE(ours.empty());
        const Bytes theirs = protocEncode(protocDecode(ours));
        EXPECT_EQ(theirs, ours);
        Content back;
        ASSERT_TRUE(decode(theirs, back));
        EXPECT_EQ(back.SerializeAsString(), message.SerializeAsString());
        EXPECT_EQ(messageToString(back), messageToString(message));
    }
}

}  // namespace
}  // namespace generated
}  // namespace tarn
