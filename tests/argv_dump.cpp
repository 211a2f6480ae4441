// SPDX-License-Identifier: MIT
// Stands in for lptline on the emulated PC to show what reached it: each
// argument on its own line, its bytes in hex, "-" for an empty one. The last
// line has no newline, nor has the count of arguments written to standard
// error, and the exit status is that count: the report must still show each
// field on its own line, and the true status.
#include <cstdio>

int main(int argc, char **argv) {
	for (int i = 1; i < argc; i++) {
		if (argv[i][0] == '\0')
			(void)std::fputs("-", stdout);
		for (const char *p = argv[i]; *p != '\0'; p++)
			(void)std::printf("%02x", static_cast<unsigned char>(*p));
		if (i < argc - 1)
			(void)std::fputs("\n", stdout);
	}
	(void)std::fprintf(stderr, "%d", argc - 1);
	return argc - 1;
}
