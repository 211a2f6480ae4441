#include "lptline.h"

#include <algorithm>

namespace {

bool is_blank(char c) {
	return c == ' ' || (c >= '\t' && c <= '\r');
}

} // namespace

std::int32_t parse_line(const char *text) {
	while (is_blank(*text))
		text++;
	const bool negative = *text == '-';
	if (*text == '-' || *text == '+')
		text++;

	// Accumulate towards the sign's own limit so that INT32_MIN, whose
	// magnitude does not fit in the positive range, needs no special case.
	const std::int64_t limit = negative ? -static_cast<std::int64_t>(INT32_MIN) : INT32_MAX;
	std::int64_t magnitude = 0;
	for (; *text >= '0' && *text <= '9'; text++)
		magnitude = std::min(magnitude * 10 + (*text - '0'), limit);
	return static_cast<std::int32_t>(negative ? -magnitude : magnitude);
}

std::uint8_t line_to_byte(std::int32_t value) {
	if (value >= 1 && value <= 8)
		return static_cast<std::uint8_t>(1U << (value - 1));
	// Two's complement low eight bits, so -1 drives every line high.
	return static_cast<std::uint8_t>(value);
}
