// SPDX-License-Identifier: MIT
// Stands in for lptline on the emulated PC to show what reached it: each
// argument on its own line, its bytes in hex, "-" for an empty one. The last
// line has no newline, nor has the count of arguments written to standard
// error, and the exit status is that count: the report must still show each
// field on its own line, and the true status. Other first arguments:
//   (none)    writes nothing and exits 0: the cheapest case a boot runs;
//   stdin     reads its input to the end and says how much it got, since a
//             case must not take the later cases as its input;
//   echo ...  writes the other arguments as they are, to standard output and
//             error, as a program that imitates the report would;
//   poweroff  powers the PC off at once, as a PC that stops early.
#include <cstdio>
#include <cstring>
#include <sys/reboot.h>
#include <unistd.h>

namespace {

int echo(int argc, char **argv) {
	for (int i = 2; i < argc; i++) {
		(void)std::fputs(argv[i], stdout);
		(void)std::fputs(argv[i], stderr);
	}
	return 0;
}

int dump(int argc, char **argv) {
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

} // namespace

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
	if (std::strcmp(argv[1], "echo") == 0)
		return echo(argc, argv);
	if (argc == 2 && std::strcmp(argv[1], "poweroff") == 0) {
		sync();
		return reboot(RB_POWER_OFF);
	}
	return dump(argc, argv);
}
