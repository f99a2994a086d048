// Joins the CRC-32 checksums of two adjacent pieces of data into the checksum of the whole,
// so one big file can be hashed in parts on several threads.
#pragma once

#include <cstdint>

// The CRC-32 of A followed by B, given crc(A), crc(B) and the length of B in bytes.
std::uint32_t crc32Combine(std::uint32_t crcA, std::uint32_t crcB, std::uint64_t lengthB);
