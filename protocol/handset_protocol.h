// The handset's wire protocol: frame types, the one-byte requests of the session, the
// block-store command codes and status bytes, the boot ROM's bytes and the boot program.
// The host (link/, handset/) and the simulated handset (sim/) both speak from this one list,
// so a byte written here is the byte on the line for both of them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace velmora::protocol {

// --- frames: type, length, type XOR length, then 1..32 data bytes ---

constexpr size_t kFrameHeader = 3;
constexpr uint8_t kMaxFrameData = 32;
constexpr size_t kMaxFrameBytes = kFrameHeader + kMaxFrameData;

// What fits one frame follows from the 32 data bytes, on both sides of the line:
// a block-store request is code, block number (2), offset (2), the data and the check byte;
constexpr uint16_t kMaxWriteChunk = kMaxFrameData - 6;
// a read reply is the code's echo, the data and the check byte;
constexpr uint16_t kMaxReadChunk = kMaxFrameData - 2;
// an AT frame is the channel byte, then text: an answer frame carries up to 31 characters.
constexpr size_t kMaxAtFrameText = kMaxFrameData - 1;
// The host sends AT commands of at most 30 characters, one below the frame's room.
constexpr uint8_t kMaxAtCommandText = 30;

constexpr uint8_t kFramePing = 2;        // ping, both ways
constexpr uint8_t kFrameRequest = 5;     // product number and mode queries
constexpr uint8_t kFrameAt = 6;          // AT command text in frames
constexpr uint8_t kFrameControl = 14;    // switch-off and the IMEI request
constexpr uint8_t kFrameService = 0x14;  // block-store service messages

// First data byte of the one-byte requests; the answer repeats it.
constexpr uint8_t kPingProbe = 0x14;          // in a kFramePing
constexpr uint8_t kPingAnswer = 0xAA;         // second data byte of the ping answer
constexpr uint8_t kRequestProductId = 0x21;   // in a kFrameRequest
constexpr uint8_t kRequestMode = 0x3F;        // in a kFrameRequest
constexpr uint8_t kControlSwitchOff = 0x04;   // in a kFrameControl
constexpr uint8_t kControlImei = 0x0A;        // in a kFrameControl: IMEI without the AT interpreter
constexpr uint8_t kAtChannel = 0xF0;          // data byte 0 of AT frames, both ways
// The mode number the service program answers kRequestMode with.
constexpr uint16_t kServiceModeNumber = 7;

// --- AT commands: text before the frames are switched on, then inside kFrameAt frames ---

constexpr char kAtServiceProtocol[] = "at^sqwe=1\r";  // frames from now on
constexpr char kAtServiceBoot[] = "at^sqsb=1\r";      // frames, and the handset restarts to boot
// The boot switch goes out in two parts, the first this long, each answered before the next.
constexpr size_t kAtServiceBootFirstPart = 6;
constexpr char kAtAttention[] = "AT\r";
constexpr char kAtImei[] = "AT+CGSN\r";
constexpr char kAtImeiTag[] = "+CGSN:";
constexpr char kAtOk[] = "OK\r";
// What the modem answers in text mode, and inside frames after the channel byte.
constexpr char kAtTextOk[] = "OK\r\n";
constexpr char kAtTextError[] = "ERROR\r\n";
constexpr char kAtFrameOk[] = "\r\nOK\r\n";
constexpr char kAtFrameError[] = "\r\nERROR\r\n";

// --- block-store commands (in a kFrameService) ---

// Eelite codes; the Eefull code of a command that serves both areas is kEefullOffset higher.
constexpr uint8_t kCmdCreateBlock = 0x01;
constexpr uint8_t kCmdWriteBlockChunk = 0x02;
constexpr uint8_t kCmdCloseBlock = 0x03;
constexpr uint8_t kCmdReadBlockChunk = 0x04;
constexpr uint8_t kCmdBlockExists = 0x05;
constexpr uint8_t kCmdGetMaxLogicalBlock = 0x06;  // no area
constexpr uint8_t kCmdDeleteBlock = 0x07;
constexpr uint8_t kCmdGetMaxSpaceValues = 0x08;   // no area
constexpr uint8_t kCmdDeleteAllBlocks = 0x09;     // no area, Eelite
constexpr uint8_t kCmdWriteBlockPart = 0x1A;      // Eefull only
constexpr uint8_t kEefullOffset = 0x10;

// Every block costs its size and this much of its area's space (its log records); what an
// update may write into a full Eelite area is reckoned with it.
constexpr uint32_t kBlockOverhead = 12;
// The Eefull block where an update records the mapping's versions (bytes 14..17).
constexpr uint16_t kMapVersionBlock = 5005;

// Reply bytes other than the command's echo.
constexpr uint8_t kReplyOk = '0';
constexpr uint8_t kReplyNotInitialised = '1';
constexpr uint8_t kReplyNoBlock = '2';
constexpr uint8_t kReplyIdNotLocked = '3';
constexpr uint8_t kReplyNotSameId = '4';
constexpr uint8_t kReplyNoSpace = '5';
constexpr uint8_t kReplyBlockTooSmall = '6';
constexpr uint8_t kReplyBlockInUse = '7';
constexpr uint8_t kReplyDamaged = ' ';         // the request arrived damaged; send it again
constexpr uint8_t kReplyPending = 'P';         // still working; the real answer follows
constexpr uint8_t kReplyUnknownCommand = '?';

// --- boot mode: raw bytes at 19200 baud, even parity ---

constexpr uint32_t kBootBaudRate = 19200;
constexpr uint8_t kBootProbe = 0x55;          // host: are you in the boot ROM?
constexpr uint8_t kBootAnswer = 0xA0;         // ROM: boot mode reached
constexpr uint8_t kBootBlockAccepted = 0xA5;  // ROM: block received intact

// The boot program. Its first parameter sits at two places, the others at one each.
constexpr size_t kBootStringLength = 104;
constexpr size_t kBootParam1OffsetA = 50;
constexpr size_t kBootParam1OffsetB = 70;
constexpr size_t kBootParam2Offset = 78;
constexpr size_t kBootParam3Offset = 86;
// The parameters the host sends and the ROM of a service-ready handset accepts.
constexpr uint8_t kBootParam1 = 7;
constexpr uint8_t kBootParam2 = 0x80;
constexpr uint8_t kBootParam3 = 1;

using BootString = std::array<uint8_t, kBootStringLength>;

// The boot program with 0xFF where its parameters go.
constexpr BootString kBootStringTemplate = {
    0xA5, 0x5A, 0xA5, 0xA5, 0xE6, 0x89, 0x46, 0x14, 0xD1, 0x90, 0xFF, 0x9A, 0xFE, 0x9B, 0xE6, 0x0C,
    0x09, 0x00, 0xE6, 0x8A, 0xBF, 0x04, 0xD1, 0x90, 0xE6, 0x0A, 0xF0, 0x0E, 0xE6, 0x8A, 0xAF, 0x04,
    0xB5, 0x4A, 0xB5, 0xB5, 0xE6, 0x00, 0x40, 0x00, 0xE7, 0xF0, 0x00, 0x00, 0xF7, 0xF0, 0x00, 0x02,
    0xE7, 0xF0, 0xFF, 0x00, 0xF7, 0xF0, 0x01, 0x02, 0xE6, 0x03, 0x03, 0x00, 0xE7, 0xF0, 0x00, 0x00,
    0xF7, 0xF0, 0x00, 0xF6, 0xE7, 0xF0, 0xFF, 0x00, 0xF7, 0xF0, 0x01, 0xF6, 0xE7, 0xF0, 0xFF, 0x00,
    0xF7, 0xF0, 0x02, 0xF6, 0xE7, 0xF0, 0xFF, 0x00, 0xF7, 0xF0, 0x03, 0xF6, 0xE6, 0xF0, 0x80, 0x00,
    0x74, 0xF0, 0xE0, 0xEF, 0xB7, 0x48, 0xB7, 0xB7};

// Writes the three parameters into a copy of the boot program.
constexpr void PatchBootString(uint8_t* program, uint8_t p1, uint8_t p2, uint8_t p3) {
  program[kBootParam1OffsetA] = p1;
  program[kBootParam1OffsetB] = p1;
  program[kBootParam2Offset] = p2;
  program[kBootParam3Offset] = p3;
}

constexpr BootString BootProgram(uint8_t p1, uint8_t p2, uint8_t p3) {
  BootString program = kBootStringTemplate;
  PatchBootString(program.data(), p1, p2, p3);
  return program;
}

}  // namespace velmora::protocol
