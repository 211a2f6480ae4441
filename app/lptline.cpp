#include "lptline.h"

#include <algorithm>
#include <cstdio>
#include <unistd.h>

#include "portio.h"

namespace {

bool is_blank(char c) {
	return c == ' ' || (c >= '\t' && c <= '\r');
}

} // namespace

std::int32_t parse_line(const char *text) {
	while (is_blank(*text))
		text++;
	bool negative = *text == '-';
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

int lptline(int argc, char **argv) {
	if (argc < 2) {
		(void)fputs("usage: lptline LINE\n", stderr);
		return 2;
	}
	const std::uint8_t byte = line_to_byte(parse_line(argv[1]));

	if (port_acquire() != 0) {
		perror("ioperm");
		return 1;
	}
	outb(byte, DATA_PORT);
	(void)usleep(HOLD_USEC);
	if (port_release() != 0) {
		perror("ioperm");
		return 1;
	}
	return 0;
}
