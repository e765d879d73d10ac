#pragma once

#include <cstdint>
#include <string>

namespace MsiHelper
{
// A version of four 16-bit parts (major, minor, build, revision) held as one 64-bit number,
// major in the top bits, so that versions order as their numbers do.
class FourPartVersion
{
public:
    FourPartVersion() = default;
    FourPartVersion(std::uint16_t major, std::uint16_t minor, std::uint16_t build,
                    std::uint16_t revision);

    // Reads "a.b.c.d" where any one character separates the parts ("12,7,1093,0" and
    // "12.7.1093.0" are the same) and white space before a number or a separator is skipped.
    // A part that cannot be read - the text ends, no digits follow, or the number does not fit
    // 16 bits - and every part after it count as 0: "12.7.1093" is 12.7.1093.0 and "abc" is
    // 0.0.0.0.
    explicit FourPartVersion(const std::string& text);
    explicit FourPartVersion(const std::wstring& text);

    std::uint64_t Value() const { return value; }
    std::uint16_t Major() const { return Part(3); }
    std::uint16_t Minor() const { return Part(2); }
    std::uint16_t Build() const { return Part(1); }
    std::uint16_t Revision() const { return Part(0); }

    // The four parts in decimal joined by dots.
    std::string ToString() const;
    std::wstring ToWideString() const;

    friend bool operator==(FourPartVersion a, FourPartVersion b) { return a.value == b.value; }
    friend bool operator!=(FourPartVersion a, FourPartVersion b) { return a.value != b.value; }
    friend bool operator<(FourPartVersion a, FourPartVersion b) { return a.value < b.value; }
    friend bool operator>(FourPartVersion a, FourPartVersion b) { return a.value > b.value; }
    friend bool operator<=(FourPartVersion a, FourPartVersion b) { return a.value <= b.value; }
    friend bool operator>=(FourPartVersion a, FourPartVersion b) { return a.value >= b.value; }

private:
    std::uint16_t Part(int index) const
    {
        return static_cast<std::uint16_t>(value >> (16 * index));
    }

    std::uint64_t value = 0;
};
} // namespace MsiHelper
