// Division for 32-bit ARM cores without a divide instruction.  The C
// runtime's routines are unrolled for speed, some 1,700 bytes in all; these
// short loops cost a quarter of that.  A loop takes one step per bit of the
// quotient, and most of the server's quotients are small: an index wrapped
// around a queue (0 or 1), the digits of a number, a clock reading turned
// into seconds or a date once a wait, a batch or a message of the server's
// own.  At -Os the compiler calls these even for a constant divisor.
#include <bit>
#include <cstdint>

namespace {

// Long division, one quotient bit a step, starting at the highest bit the
// quotient can have, so that small quotients (the usual ones) take few
// steps.  Leaves the remainder in numerator.
template <typename Unsigned> Unsigned _long_divide_(Unsigned &numerator, Unsigned denominator)
{
    if (denominator == 0)
        __builtin_trap(); // a fault, as the C runtime's division by zero is
    Unsigned quotient = 0;
    if (numerator >= denominator) {
        const int top = std::countl_zero(denominator) - std::countl_zero(numerator);
        for (int bit = top; bit >= 0; --bit) {
            if (numerator >= denominator << bit) {
                numerator -= denominator << bit;
                quotient |= Unsigned{1} << bit;
            }
        }
    }
    return quotient;
}

} // namespace

extern "C" {

// Quotient in the low word, remainder in the high word: r0 and r1, as the
// ARM run-time ABI returns them.
__attribute__((used)) uint64_t __aeabi_uidivmod(uint32_t numerator, uint32_t denominator)
{
    const uint32_t quotient = _long_divide_(numerator, denominator);
    return uint64_t{numerator} << 32 | quotient;
}

__attribute__((used)) uint32_t __aeabi_uidiv(uint32_t numerator, uint32_t denominator)
{
    return static_cast<uint32_t>(__aeabi_uidivmod(numerator, denominator));
}

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

// 64-bit division, the same way.  The ABI returns the quotient in r0:r1 and
// the remainder in r2:r3, which no C++ function can, so a few instructions
// of assembly (below) hand the remainder over through the stack.
extern "C" {

__attribute__((used)) uint64_t quarn_udivmod64(uint64_t numerator, uint64_t denominator, uint64_t *remainder)
{
    const uint64_t quotient = _long_divide_(numerator, denominator);
    *remainder = numerator;
    return quotient;
}

__attribute__((used)) int64_t quarn_divmod64(int64_t numerator, int64_t denominator, int64_t *remainder)
{
    const auto magnitude = [](int64_t v) { return v < 0 ? 0u - static_cast<uint64_t>(v) : static_cast<uint64_t>(v); };
    uint64_t rest = 0;
    uint64_t quotient = quarn_udivmod64(magnitude(numerator), magnitude(denominator), &rest);
    if ((numerator < 0) != (denominator < 0))
        quotient = 0u - quotient; // rounds toward zero, as C divides
    if (numerator < 0)
        rest = 0u - rest; // takes the numerator's sign
    *remainder = static_cast<int64_t>(rest);
    return static_cast<int64_t>(quotient);
}

} // extern "C"

// __aeabi_uldivmod and __aeabi_ldivmod: the arguments stay in r0..r3, the
// remainder's address goes as the fifth argument, on the stack, and the
// remainder comes back into r2:r3.  Frame: the argument at sp, the
// remainder at sp + 8, the saved registers (r4 only for alignment) above;
// the stack stays 8-byte aligned.
#define QUARN_DIVMOD64_ENTRY(helper)       \
    asm("push {r4, lr}\n"                  \
        "sub sp, sp, #16\n"                \
        "add ip, sp, #8\n"                 \
        "str ip, [sp]\n"                   \
        "bl " helper "\n"                  \
        "ldrd r2, r3, [sp, #8]\n"          \
        "add sp, sp, #16\n"                \
        "pop {r4, pc}\n")

extern "C" {
__attribute__((naked, used)) void __aeabi_uldivmod() { QUARN_DIVMOD64_ENTRY("quarn_udivmod64"); }
__attribute__((naked, used)) void __aeabi_ldivmod() { QUARN_DIVMOD64_ENTRY("quarn_divmod64"); }
} // extern "C"
