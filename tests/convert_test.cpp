// SPDX-License-Identifier: MIT
#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "lptline.h"

namespace {

struct conversion_row {
	std::string text;
	std::int32_t value;
	std::uint8_t byte;
};

const std::string many_nines(1000, '9');

const conversion_row conversions[] = {
    // Each data line, and numbers that only look like lines.
    {"1", 1, 0x01},
    {"2", 2, 0x02},
    {"3", 3, 0x04},
    {"4", 4, 0x08},
    {"5", 5, 0x10},
    {"6", 6, 0x20},
    {"7", 7, 0x40},
    {"8", 8, 0x80},
    {"0", 0, 0x00},
    {"9", 9, 0x09},
    {"16", 16, 0x10},
    {"128", 128, 0x80},
    {"255", 255, 0xFF},
    {"256", 256, 0x00},
    {"300", 300, 0x2C},
    {"-1", -1, 0xFF},
    {"-8", -8, 0xF8},
    {"+2", 2, 0x02},
    // Only decimal, and only up to the first non-digit.
    {"010", 10, 0x0A},
    {"0x10", 0, 0x00},
    {"7abc", 7, 0x40},
    {"7 8", 7, 0x40},
    {"3.9", 3, 0x04},
    {"a7", 0, 0x00},
    {"", 0, 0x00},
    {"-", 0, 0x00},
    {"+-5", 0, 0x00},
    {"--5", 0, 0x00},
    {"- 5", 0, 0x00},
    // Each white-space character is skipped before the number, none after
    // the sign.
    {" 7", 7, 0x40},
    {"\t7", 7, 0x40},
    {"\n7", 7, 0x40},
    {"\v7", 7, 0x40},
    {"\f7", 7, 0x40},
    {"\r7", 7, 0x40},
    {" \t\n\v\f\r-7", -7, 0xF9},
    {"\xA0"
     "7",
     0, 0x00},
    // The 32-bit limits, and saturation beyond them rather than wrapping
    // (2^32 + 1 would otherwise come out as line 1).
    {"2147483647", INT32_MAX, 0xFF},
    {"-2147483647", -INT32_MAX, 0x01},
    {"-2147483648", INT32_MIN, 0x00},
    {"2147483648", INT32_MAX, 0xFF},
    {"-2147483649", INT32_MIN, 0x00},
    {"4294967297", INT32_MAX, 0xFF},
    {"99999999999999999999", INT32_MAX, 0xFF},
    {many_nines, INT32_MAX, 0xFF},
    {"-" + many_nines, INT32_MIN, 0x00},
    {std::string(1000, '0') + "7", 7, 0x40},
};

TEST(conversion, text_to_value_and_byte) {
	for (const auto &c : conversions) {
		SCOPED_TRACE("text \"" + c.text.substr(0, 40) + "\"");
		const std::int32_t value = parse_line(c.text.c_str());
		EXPECT_EQ(value, c.value);
		EXPECT_EQ(line_to_byte(value), c.byte);
	}
}

} // namespace
