#pragma once
// The SysEx command frame and the encodings of its fields. Pure byte work on
// buffers the caller supplies: no allocation, no state, no failure result.

#include <cstdint>

namespace tamblet {

inline constexpr int32_t kFrameHeadLength = 7;  // F0 43 5n 03 00 cmd sub
// Offsets of the command, its sub-command and the data, in requests and replies.
inline constexpr int32_t kFrameCommand = 5;
inline constexpr int32_t kFrameSubCommand = 6;
inline constexpr int32_t kFrameData = kFrameHeadLength;
inline constexpr int32_t kMaxWriteDataBytes = 2048;  // data bytes in one WriteData frame
inline constexpr int32_t kMaxWriteDataFrame = 2362;  // its length on the wire

// Writes the head (offsets 0-4), the optional checksum and F7 around `count`
// data bytes already at offset 7; returns the frame length.
int32_t BuildFrame(uint8_t* frame, uint32_t device_number, int32_t count, bool with_checksum);

uint8_t HexDigit(uint32_t value);
void PutHex8(uint8_t* frame, int32_t offset, uint32_t value);
void PutHex4(uint8_t* frame, int32_t offset, uint32_t value);
uint32_t ParseHex(const uint8_t* text, uint8_t max_digits);

// Packs n bytes 7 bits to the byte, each group of up to 7 led by their top bits.
int32_t Pack7(uint8_t* out, const uint8_t* data, int32_t n);

// A complete WriteData frame for n data bytes at `address`; returns its length.
int32_t BuildWriteData(uint8_t* frame, uint32_t address, const uint8_t* data, int32_t n);

}  // namespace tamblet
