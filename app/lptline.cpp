// SPDX-License-Identifier: MIT
#include "lptline.h"

#include <cstdio>
#include <unistd.h>

#include "portio.h"

int lptline_main(int argc, char **argv) {
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
	// The tool catches no signal, so usleep can only end early when a
	// signal ends the process too; there is no short hold to retry.
	(void)usleep(HOLD_USEC);
	if (port_release() != 0) {
		perror("ioperm");
		return 1;
	}
	return 0;
}
