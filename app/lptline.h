// SPDX-License-Identifier: MIT
#ifndef LPTLINE_H
#define LPTLINE_H

#include <cstdint>

// The byte stays on the lines after the run anyway; the hold makes each
// run last at least this long, so that scripts calling the tool back to
// back leave every level on the lines for a relay or trigger input to see.
constexpr unsigned HOLD_USEC = 10000;

// Decimal text to a line number, the way atoi reads it (leading white space,
// one sign, digits up to the first non-digit, no digit gives 0), but
// saturating at the 32-bit limits instead of overflowing.
std::int32_t parse_line(const char *text);

// Lines 1..8 become their single data bit; anything else is a raw byte.
std::uint8_t line_to_byte(std::int32_t value);

// The whole run: returns the exit status instead of exiting so that it can
// be driven in-process.
int lptline_main(int argc, char **argv);

#endif
