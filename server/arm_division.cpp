// Signed 32-bit division for 32-bit ARM cores without a divide
// instruction, on top of the C runtime's unsigned one.  At -Os the
// compiler calls the signed helper even for unsigned values it has proven
// small, and the C runtime's own is an unrolled routine of some 700 bytes;
// this one costs a tenth of that, for a division that is never on a hot
// path of the server.
#include <cstdint>

extern "C" {

// Quotient in the low word, remainder in the high word: r0 and r1, as the
// ARM run-time ABI returns them.
uint64_t __aeabi_uidivmod(uint32_t numerator, uint32_t denominator);

__attribute__((used)) uint64_t __aeabi_idivmod(int32_t numerator, int32_t denominator)
{
    const auto magnitude = [](int32_t v) { return v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v); };
    const uint64_t both = __aeabi_uidivmod(magnitude(numerator), magnitude(denominator));
    uint32_t quotient = static_cast<uint32_t>(both), remainder = static_cast<uint32_t>(both >> 32);
    if ((numerator < 0) != (denominator < 0))
        quotient = 0u - quotient; // rounds toward zero, as C divides
    if (numerator < 0)
        remainder = 0u - remainder; // takes the numerator's sign
    return uint64_t{remainder} << 32 | quotient;
}

__attribute__((used)) int32_t __aeabi_idiv(int32_t numerator, int32_t denominator)
{
    return static_cast<int32_t>(static_cast<uint32_t>(__aeabi_idivmod(numerator, denominator)));
}

} // extern "C"
