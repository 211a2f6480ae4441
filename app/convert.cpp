// SPDX-License-Identifier: MIT
#include "lptline.h"

#include <algorithm>
#include <cstdlib>

std::int32_t parse_line(const char *text) {
	// atoi is strtol without the error check, and overflows with undefined
	// behaviour; the clamp gives the saturation a 32-bit strtol gives instead.
	const long long value = std::strtoll(text, nullptr, 10);
	return static_cast<std::int32_t>(std::clamp<long long>(value, INT32_MIN, INT32_MAX));
}

std::uint8_t line_to_byte(std::int32_t value) {
	if (value >= 1 && value <= 8)
		return static_cast<std::uint8_t>(1U << (value - 1));
	// Two's complement low eight bits, so -1 drives every line high.
	return static_cast<std::uint8_t>(value);
}
