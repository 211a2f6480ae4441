// SPDX-License-Identifier: MIT
// Stands in for portio/platform.cpp, and for the C library's usleep, so a
// whole run can be watched and faulted without any port access.
#include "fake_platform.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

#include "portio.h"

std::vector<std::string> platform_calls;
int acquire_errno;
int release_errno;

void reset_platform() {
	platform_calls.clear();
	acquire_errno = 0;
	release_errno = 0;
}

// Ports in hex, as strace and the manual write them.
int ioperm_local(int from, int num, int turn_on) {
	char call[40];
	(void)std::snprintf(call, sizeof call, "ioperm %#x %d %d", from, num, turn_on);
	platform_calls.emplace_back(call);
	const int fault = turn_on != 0 ? acquire_errno : release_errno;
	if (fault == 0)
		return 0;
	errno = fault;
	return -1;
}

void outb_local(std::uint8_t value, int port) {
	char call[40];
	(void)std::snprintf(call, sizeof call, "outb 0x%02x %#x", value, port);
	platform_calls.emplace_back(call);
}

// Defined here, this one wins over the C library's at link time.
// The C library names the parameter with a reserved identifier.
// NOLINTNEXTLINE(readability-inconsistent-declaration-parameter-name)
extern "C" int usleep(useconds_t usec) {
	platform_calls.push_back("usleep " + std::to_string(usec));
	return 0;
}
