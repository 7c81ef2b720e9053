// What a simulated handset is: its identity, the state it is found in, its block store at
// power-on and the faults it has been told to show. A profile is plain data; the handset
// model (sim_handset.h) runs it.
//
// Profile text: one "key = value" per line, '#' starts a comment, blank lines are ignored.
// Settings are applied in order on top of what the profile already holds (normally the
// default profile), so a file only names what differs.
//
//   product = 72                    hardware product number
//   imei = 351234567890128          the 15 digits of the IMEI
//   imei_text = \r\n+CGSN: ...\r\n  exact text of the AT+CGSN answer frame (escapes \r \n \t
//                                   \\ \xHH); empty = CR LF "+CGSN: " IMEI CR LF
//   state = off | normal | service  the state the handset is found in
//   baud = 57600                    the handset's own baud rate (AT commands and frames)
//   normal_mode = 1                 mode reported by a normally running handset (not 7)
//   at_echo = 0 | 1                 echo AT command characters as they arrive
//   eelite_capacity = 8192          bytes of the log-structured Eelite area
//   eefull_capacity = 4096          bytes of the Eefull area
//   garbage = 2000                  Eelite bytes already dead at power-on
//   max_logical_block = 300         highest Eelite logical block number
//   default_blocks = no             drop the default blocks of both areas (and the garbage)
//   block = AREA NUMBER VERSION DATA
//                                   AREA eelite|eefull; DATA hex bytes ("AABB01"), or
//                                   "*SIZE" for SIZE bytes of the block's own pattern,
//                                   or "-" for an empty block
//   fault = FAULT                   one of SimFaultKinds() below
//   reply_delay_us = 2000           time from the end of a request to the first reply byte
//   boot_start_ms = 50              from the boot block's acknowledgement to the service program
//   pending_interval_ms = 200       between "P" replies of a busy handset
//   erase_ms = 300                  time DeleteAllBlocks takes
//   adapter_latency_ms = 16         a USB adapter holds each answer this long (0 = none)
//   handsets = 1                    how many handsets the operator brings to the port, one
//                                   after another: each taken away as soon as its service
//                                   program has acknowledged a switch-off, the next one a new
//                                   handset of this profile (see ForHandset); 1 = one handset
//   next_after_ms = 1000            from a handset taken away to the next one on the line; the
//                                   port is silent in between, and for good after the last
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace velmora::sim {

enum class SimArea : uint8_t { Eelite, Eefull };

// The states a handset can be in, as the line sees them.
enum class SimState : uint8_t {
  SwitchedOff,      // only the boot ROM listens (19200 baud, 8 bits, even parity, DTR high)
  BootMode,         // the boot ROM answered 0xA0 and takes a boot block
  Starting,         // the boot program was accepted; the service program is starting
  RunningNormally,  // normal operation: AT commands, then frames
  ServiceMode,      // the service program: frames and the block store
};

enum class FaultKind : uint8_t {
  Status,  // answer the command with a status byte instead of executing it
  Lose,    // execute the command, but the reply never reaches the line
  Damage,  // execute the command and send its reply with a wrong check byte
  Pending, // answer "P" a number of times before the real reply
};

struct ReplyFault {
  FaultKind kind = FaultKind::Status;
  uint8_t code = 0;    // the service command code it applies to (0x01, 0x11, ...)
  uint8_t status = 0;  // Status: the byte sent
  int pending = 0;     // Pending: "P" replies before the answer
  int times = 1;       // commands it hits; -1 = every one
};

enum class SwitchOffFault : uint8_t {
  Obey,          // acknowledge and switch off
  Ignore,        // no acknowledgement, stays on
  AckButStayOn,  // acknowledge, but keeps running
};

struct SimFaults {
  std::vector<ReplyFault> replies;
  // The k-th Eelite CreateBlock or WriteBlockChunk after a DeleteAllBlocks is answered with
  // writebackStatus (once); 0 = never.
  int writebackFailAt = 0;
  uint8_t writebackStatus = '4';
  // How many write-back commands fail from the k-th on; -1 = every one after it.
  int writebackFailCount = 1;
  bool bootSilent = false;      // the boot ROM never answers 0x55
  SwitchOffFault switchOff = SwitchOffFault::Obey;
  bool portBusy = false;        // every open of the port fails
  bool noImeiAt = false;        // the AT+CGSN frame goes unanswered (type-14 0x0A still works)
  // Counted over the service commands received with a good check byte, 0 = never:
  int silentAt = 0;    // from the k-th on, the handset answers nothing at all
  int powerOffAt = 0;  // the k-th is not carried out: the handset switches itself off
  int dropAt = 0;      // the line goes away with the k-th: the port fails from then on
  // The k-th block data chunk written (either area) is stored with its first byte inverted,
  // though acknowledged as written; 0 = never.
  int corruptChunkAt = 0;
  // How many chunks from corruptChunkAt on are stored wrongly; -1: every one.
  int corruptChunkCount = 1;
};

struct SimBlock {
  SimArea area = SimArea::Eelite;
  uint16_t number = 0;
  uint8_t version = 0;
  std::vector<uint8_t> data;
};

struct SimProfile {
  uint16_t productNumber = 72;
  std::string imei = "351234567890128";
  std::string imeiText;  // empty: CR LF "+CGSN: " imei CR LF
  SimState startState = SimState::RunningNormally;
  uint32_t baudRate = 57600;
  uint16_t normalMode = 1;
  bool atEcho = false;
  uint32_t eeliteCapacity = 8192;
  uint32_t eefullCapacity = 4096;
  uint32_t garbage = 2000;
  uint16_t maxLogicalBlock = 300;
  std::vector<SimBlock> blocks;
  SimFaults faults;
  uint32_t replyDelayUs = 2000;
  uint32_t bootStartMs = 50;
  uint32_t pendingIntervalMs = 200;
  uint32_t eraseMs = 300;
  // A USB serial adapter between handset and host that holds each answer this long before the
  // host sees it (16 ms: an FTDI chip's default latency timer); 0 = a plain serial line.
  uint32_t adapterLatencyMs = 0;
  // A production line: the operator takes a switched-off handset away and connects the next.
  uint32_t handsets = 1;
  uint32_t nextAfterMs = 1000;

  // Product 72, IMEI 351234567890128, running normally, Eelite 8192 bytes holding blocks
  // 1..20 of 100 bytes (version 1) and 2000 bytes of garbage, Eefull blocks 5001..5004 of
  // 8 bytes and 5005 of 32 bytes (version 1).
  static SimProfile Default();
  // The answer text of AT+CGSN.
  std::string ImeiAnswer() const;
  // The k-th handset the operator brings (k from 0): this profile with the k-th IMEI of
  // HandsetImei. Its imei_text, when it holds the profile's IMEI, holds the handset's own in
  // its place; when it holds another IMEI (15 digits), handsets after the first answer the
  // plain form; when it holds none (ERROR, OK, letters), every handset answers it as it is.
  SimProfile ForHandset(uint32_t k) const;
};

// The IMEI of the k-th handset of a sequence: the first one's is `imei` as it is; the k-th
// after it has the first 14 digits of `imei` (all of them when there are fewer) counted on by
// k, wrapping within 14 digits, and their Luhn check digit as the 15th.
std::string HandsetImei(const std::string& imei, uint32_t k);
// The Luhn check digit ('0'..'9') that completes a string of decimal digits.
char LuhnCheckDigit(const std::string& digits);

// The data a block of the given number gets from "*SIZE": recognisable in a dump.
std::vector<uint8_t> SimPattern(uint16_t number, uint16_t size);

// Applies one setting. Returns true, or false with a message in *error.
bool ApplySimSetting(SimProfile* profile, const std::string& key, const std::string& value,
                     std::string* error);
// Applies a whole profile text; the message names the line of the first error.
bool ParseSimProfile(const std::string& text, SimProfile* profile, std::string* error);
bool LoadSimProfile(const std::string& path, SimProfile* profile, std::string* error);

// Fault texts: a kind's name, then its words (numbers in decimal or 0x hex; a status is a
// character like "5" or a number). The kinds are the rows of SimFaultKinds(); velmora-sim's
// users and the soak learn them from there.
struct SimFaultKind {
  const char* name;   // the first word, matched without regard to case
  // The words after the name, as a user reads them: CODE a command code, BYTE a status,
  // K a position counted from 1, N and M counts, a lower-case word itself; [...] may be left
  // out together with all that follows it, a|b is one of them.
  const char* words;
  const char* usage;  // what the handset then does, in a line
  // Sets the fault from the whole text split into words (the name first); false with a
  // message in *error.
  bool (*parse)(const std::vector<std::string>& words, const std::string& text, SimFaults* faults,
                std::string* error);
};
std::span<const SimFaultKind> SimFaultKinds();
// The row of the named kind, nullptr when there is none.
const SimFaultKind* FindSimFaultKind(const std::string& name);
// "  NAME WORDS   USAGE" for every kind, one line each: the faults' help.
std::string SimFaultUsage();

// One part of a kind's words: a placeholder or a word ("CODE", "ack"), or a choice of them
// ("once|always|N"), and whether it may be left out.
struct SimFaultWord {
  std::string choices;
  bool optional = false;
};
std::vector<SimFaultWord> SimFaultWords(const SimFaultKind& kind);

bool ParseSimFault(const std::string& faultText, SimFaults* faults, std::string* error);

const char* SimStateName(SimState state);
const char* SimAreaName(SimArea area);

}  // namespace velmora::sim
