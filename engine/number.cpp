#include "number.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "failure.h"

namespace velloran {
namespace {

[[noreturn]] void overflow() { throw Failure(FailureKind::Protocol, "Overflow"); }

// Val skips blanks, TABs and line feeds anywhere in the number, not only in
// front of it.
bool isSkipped(char c) { return c == ' ' || c == '\t' || c == '\n'; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A cursor over the text that steps over skipped characters on every read.
struct Scanner {
    std::string_view text;
    std::size_t pos = 0;

    // The next character that is not skipped, or '\0' at the end.
    char peek() {
        while (pos < text.size() && isSkipped(text[pos])) ++pos;
        return pos < text.size() ? text[pos] : '\0';
    }
    void advance() { ++pos; }
};

double roundHalfEven(double value) {
    const double below = std::floor(value);
    const double fraction = value - below;  // exact wherever it can come out as one half
    if (fraction > 0.5) return below + 1;
    if (fraction < 0.5) return below;
    return std::fmod(below, 2.0) == 0 ? below : below + 1;
}

// CShort / CInt / CLng: banker's rounding, then the range of the target type.
double roundInto(double value, double low, double high) {
    const double rounded = roundHalfEven(value);
    if (!(rounded >= low && rounded <= high)) overflow();
    return rounded;
}

constexpr double kInt16Min = std::numeric_limits<std::int16_t>::min();
constexpr double kInt16Max = std::numeric_limits<std::int16_t>::max();
constexpr double kInt32Min = std::numeric_limits<std::int32_t>::min();
constexpr double kInt32Max = std::numeric_limits<std::int32_t>::max();

int digitValue(char c, int radix) {
    int v = 99;
    if (isDigit(c)) v = c - '0';
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    return v < radix ? v : -1;
}

// &H / &O integers. The scanner stands just after the radix letter.
double radixValue(Scanner& in, int radix) {
    std::uint64_t raw = 0;
    const int bitsPerDigit = radix == 16 ? 4 : 3;
    for (int d; (d = digitValue(in.peek(), radix)) >= 0; in.advance()) {
        if (raw >> (64 - bitsPerDigit) != 0) overflow();
        raw = raw << bitsPerDigit | static_cast<unsigned>(d);
    }
    const char suffix = in.peek();

    // The type follows the size: up to 0xFFFF an Integer (16 bits), up to
    // 0xFFFFFFFF a Long, beyond that the whole 64-bit value. For hex this is
    // the count of significant digits (1-4, 5-8, more), leading zeros not
    // counting, which is why &HFFFF is -1 but &H10000 is 65536. A '&' suffix
    // asks for a Long even for a small number.
    std::int64_t value;
    if (raw <= 0xFFFF && suffix != '&') value = static_cast<std::int16_t>(raw);
    else if (raw <= 0xFFFFFFFF) value = static_cast<std::int32_t>(raw);
    else value = static_cast<std::int64_t>(raw);

    if (suffix == '%') return roundInto(static_cast<double>(value), kInt16Min, kInt16Max);
    if (suffix == '&') return roundInto(static_cast<double>(value), kInt32Min, kInt32Max);
    return static_cast<double>(value);
}

// Sign, digits with one decimal point, an optional exponent after E, e, D or
// d, then an optional type suffix. The digits are gathered without the
// skipped characters and converted in one correctly rounded step.
double decimalValue(Scanner& in) {
    std::string number = "0";
    bool negative = false;
    if (in.peek() == '-' || in.peek() == '+') {
        negative = in.peek() == '-';
        in.advance();
    }

    // Decimal magnitude of the leading digit, kept to tell overflow from
    // underflow when the conversion reports a value out of range.
    std::int64_t magnitude = 0;
    bool seenNonZero = false, afterPoint = false, fractionDigits = false;
    for (char c = in.peek();; in.advance(), c = in.peek()) {
        if (isDigit(c)) {
            number += c;
            seenNonZero = seenNonZero || c != '0';
            if (afterPoint) {
                fractionDigits = true;
                if (!seenNonZero) --magnitude;
            } else if (seenNonZero) {
                ++magnitude;
            }
        } else if (c == '.' && !afterPoint) {
            number += '.';
            afterPoint = true;
        } else {
            break;
        }
    }

    if (const char c = in.peek(); c == 'E' || c == 'e' || c == 'D' || c == 'd') {
        // A following word ("10 Days") reads as an empty exponent, which is 0.
        in.advance();
        std::string exponent;
        bool exponentNegative = false;
        if (in.peek() == '-' || in.peek() == '+') {
            exponentNegative = in.peek() == '-';
            in.advance();
        }
        std::int64_t exponentValue = 0;
        for (char d = in.peek(); isDigit(d); in.advance(), d = in.peek()) {
            exponent += d;
            if (exponentValue < 1'000'000'000'000) exponentValue = exponentValue * 10 + (d - '0');
        }
        if (!exponent.empty()) {
            number += exponentNegative ? "e-" : "e";
            number += exponent;
            magnitude += exponentNegative ? -exponentValue : exponentValue;
        }
    }

    double value = 0;
    if (std::from_chars(number.data(), number.data() + number.size(), value).ec ==
        std::errc::result_out_of_range) {
        if (magnitude > 0) overflow();
        value = 0;
    }
    if (negative) value = -value;

    switch (in.peek()) {
    case '%':
        if (fractionDigits) throw Failure(FailureKind::Protocol, "Type mismatch");
        return roundInto(value, kInt16Min, kInt16Max);
    case '&':
        if (fractionDigits) throw Failure(FailureKind::Protocol, "Type mismatch");
        return roundInto(value, kInt32Min, kInt32Max);
    case '!':
        // Single precision; from FLT_MAX plus half a step on, the value would round to infinity.
        if (std::fabs(value) >= 0x1.ffffffp127) overflow();
        return static_cast<float>(value);
    case '@': {
        // Currency: four decimal places in a 64-bit count of ten-thousandths.
        const double units = roundHalfEven(value * 10000);
        if (!(std::fabs(units) < 0x1p63)) overflow();
        return units / 10000;
    }
    default:  // '#' (Double) changes nothing, anything else ends the number
        return value;
    }
}

}  // namespace

double valueOf(std::string_view text) {
    Scanner in{text};
    if (in.peek() != '&') return decimalValue(in);
    in.advance();
    // The radix letter must follow the '&' directly.
    const char radix = in.pos < text.size() ? text[in.pos] : '\0';
    in.advance();
    if (radix == 'H' || radix == 'h') return radixValue(in, 16);
    if (radix == 'O' || radix == 'o') return radixValue(in, 8);
    return 0;
}

std::int32_t roundToInt32(double value) {
    return static_cast<std::int32_t>(roundInto(value, kInt32Min, kInt32Max));
}

std::int32_t leadingNumber(std::string_view text) { return roundToInt32(valueOf(text)); }

}  // namespace velloran
