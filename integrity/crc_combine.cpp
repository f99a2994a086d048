#include "integrity/crc_combine.h"

#include <array>

// Polynomial arithmetic modulo the reflected CRC-32 polynomial: appending n zero bytes to A
// multiplies its remainder by x^(8n), after which B's CRC is simply added.
namespace {

constexpr std::uint32_t polynomial = 0xedb88320;

constexpr std::uint32_t multiplyModP(std::uint32_t a, std::uint32_t b) {
    std::uint32_t m = 1u << 31;
    std::uint32_t product = 0;
    for (;;) {
        if (a & m) {
            product ^= b;
            if ((a & (m - 1)) == 0) break;
        }
        m >>= 1;
        b = (b & 1) ? (b >> 1) ^ polynomial : b >> 1;
    }
    return product;
}

// powers[k] = x^(2^k) modulo the polynomial.
constexpr std::array<std::uint32_t, 32> powers = [] {
    std::array<std::uint32_t, 32> table{};
    std::uint32_t p = 1u << 30;  // x^1
    for (auto& entry : table) {
        entry = p;
        p = multiplyModP(p, p);
    }
    return table;
}();

// x^(n * 2^k) modulo the polynomial.
std::uint32_t xPowerModP(std::uint64_t n, unsigned k) {
    std::uint32_t p = 1u << 31;  // x^0
    for (; n != 0; n >>= 1, ++k)
        if (n & 1) p = multiplyModP(powers[k & 31], p);
    return p;
}

}  // namespace

std::uint32_t crc32Combine(std::uint32_t crcA, std::uint32_t crcB, std::uint64_t lengthB) {
    return multiplyModP(xPowerModP(lengthB, 3), crcA) ^ crcB;
}
