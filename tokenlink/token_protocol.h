// The token's APDU protocol as both ends speak it: classes, instructions,
// parameter bytes, the tags of the parameter record and the status words. The
// station's commands and the virtual token include this one header.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

namespace tokenlink {

// Plain commands, and commands that carry a MAC.
constexpr uint8_t CLA_PLAIN = 0x80;
constexpr uint8_t CLA_PROTECTED = 0x84;

constexpr uint8_t INS_READ_INFO = 0x41;
constexpr uint8_t INS_CHALLENGE = 0x4B;
constexpr uint8_t INS_AUTHENTICATE = 0xCE;
constexpr uint8_t INS_PARAMETER = 0xD4;
constexpr uint8_t INS_SEED_WRITE = 0xC5;
constexpr uint8_t INS_SEAL = 0xC7;

// P1 of each instruction; P2 is 00 for all of them.
constexpr uint8_t P1_READ_INFO = 0x00;
constexpr uint8_t P1_CHALLENGE = 0x08;
constexpr uint8_t P1_AUTHENTICATE = 0x00;
constexpr uint8_t P1_PARAMETER = 0x00;
constexpr uint8_t P1_SEED_WRITE = 0x01;
constexpr uint8_t P1_SEAL = 0x00;
constexpr uint8_t P2_ANY = 0x00;

// The read-info data: serial number and clock.
constexpr std::array<uint8_t, 2> READ_INFO_SELECTION = {0x02, 0x11};
// The challenge is 8 bytes; the authentication block is the challenge and 8
// zero bytes, and its cryptogram is one SM4 block.
constexpr std::size_t CHALLENGE_LENGTH = 8;
constexpr std::size_t CRYPTOGRAM_LENGTH = 16;

// Tags of the parameter record (INS_PARAMETER).
constexpr uint8_t TAG_RECORD = 0x81;
constexpr uint8_t TAG_CLOCK = 0x0F;
constexpr uint8_t TAG_PARAM22 = 0x22;
constexpr uint8_t TAG_DISPLAY_TIME = 0x1F;
constexpr uint8_t TAG_OTP_CONTAINER = 0x86;
constexpr uint8_t TAG_ALGORITHM = 0x0A;
constexpr uint8_t TAG_TIME_STEP = 0x0D;

// Status words. The station judges 90 00, 63 Cn and 69 83; the others are the
// token's ways of refusing a command.
constexpr uint16_t SW_SUCCESS = 0x9000;
constexpr uint16_t SW_WRONG_CRYPTOGRAM = 0x63C0;  // | tries left (0 to 15)
constexpr uint16_t SW_TRIES_LEFT_MASK = 0x000F;
constexpr uint16_t SW_WRONG_LENGTH = 0x6700;
constexpr uint16_t SW_SECURITY_NOT_SATISFIED = 0x6982;  // no authentication yet
constexpr uint16_t SW_KEY_BLOCKED = 0x6983;
constexpr uint16_t SW_CONDITIONS_NOT_SATISFIED = 0x6985;  // sealed, or no challenge issued
constexpr uint16_t SW_MAC_INVALID = 0x6988;
constexpr uint16_t SW_WRONG_DATA = 0x6A80;
constexpr uint16_t SW_WRONG_P1P2 = 0x6A86;
constexpr uint16_t SW_INS_NOT_SUPPORTED = 0x6D00;
constexpr uint16_t SW_CLA_NOT_SUPPORTED = 0x6E00;
constexpr uint16_t SW_NO_PRECISE_DIAGNOSIS = 0x6F00;

}  // namespace tokenlink
