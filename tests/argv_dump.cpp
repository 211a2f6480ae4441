// SPDX-License-Identifier: MIT
// Stands in for lptline on the emulated PC to show what reached it: each
// argument on its own line, its bytes in hex, "-" for an empty one. The last
// line has no newline, nor has the count of arguments written to standard
// error, and the exit status is that count: the report must still show each
// field on its own line, and the true status. With no argument it writes
// nothing and exits 0, the cheapest case a boot can run. With the single
// argument "stdin" it reads its input to the end first, and says how much
// it got: a case must not take the next cases as its input.
#include <cstdio>
#include <cstring>

int main(int argc, char **argv) {
	if (argc == 1)
		return 0;
	if (argc == 2 && std::strcmp(argv[1], "stdin") == 0) {
		long got = 0;
		while (std::getchar() != EOF)
			got++;
		(void)std::printf("read %ld bytes", got);
		return 0;
	}
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
