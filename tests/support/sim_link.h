// A bare serial peer for talking to a virtual phone in tests without the station's own serial
// and protocol code: raw termios, plain write and a read that gives up after a real-time bound.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Opens a pseudo-terminal slave (or a link to one) in raw mode; -1 on failure.
int SIM_LINK_Open(const std::string& strPath);
// Builds a 12-byte header plus payload, the way the protocol lays a request out.
std::vector<uint8_t> SIM_LINK_Frame(uint8_t bySeq, uint8_t byOpcode, uint32_t dwParam,
                                    uint32_t dwLength, const std::vector<uint8_t>& abyPayload = {},
                                    uint8_t byKind = 0);
bool SIM_LINK_Write(int fd, const std::vector<uint8_t>& aby);
// Collects bytes until nWant have arrived or nothing more came for dwQuietMs (the first byte
// is awaited up to dwFirstMs). Returns what arrived.
std::vector<uint8_t> SIM_LINK_Read(int fd, size_t nWant, uint32_t dwFirstMs = 3000,
                                   uint32_t dwQuietMs = 200);
// Sends a frame and returns the reply (5 bytes expected).
std::vector<uint8_t> SIM_LINK_Exchange(int fd, const std::vector<uint8_t>& abyFrame,
                                       uint32_t dwFirstMs = 3000);
