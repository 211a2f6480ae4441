// SPDX-License-Identifier: MIT
// Stands in for lptline on the emulated PC to show what reached it: each
// argument on its own line, its bytes in hex, "-" for an empty one.
#include <cstdio>

int main(int argc, char **argv) {
	for (int i = 1; i < argc; i++) {
		if (argv[i][0] == '\0')
			(void)std::fputs("-", stdout);
		for (const char *p = argv[i]; *p != '\0'; p++)
			(void)std::printf("%02x", static_cast<unsigned char>(*p));
		(void)std::fputs("\n", stdout);
	}
	return 0;
}
