/* SPDX-License-Identifier: MIT */
/* The tool's start-up floor: the same run in plain C, built by bench/startup
 * in each link mode with the compiler of the build it is compared to. */
#include <stdio.h>
#include <stdlib.h>
#include <sys/io.h>
#include <unistd.h>

int main(int argc, char **argv) {
	int line;

	if (argc < 2) {
		fputs("usage: lptline LINE\n", stderr);
		return 2;
	}
	line = atoi(argv[1]);
	if (ioperm(0x378, 3, 1) != 0) {
		perror("ioperm");
		return 1;
	}
	outb((unsigned char)(line >= 1 && line <= 8 ? 1 << (line - 1) : line), 0x378);
	usleep(10000);
	if (ioperm(0x378, 3, 0) != 0) {
		perror("ioperm");
		return 1;
	}
	return 0;
}
