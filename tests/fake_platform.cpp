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

namespace {

void record(const char *format, long a, long b, long c = 0) {
	char entry[64];
	(void)std::snprintf(entry, sizeof entry, format, a, b, c);
	platform_calls.emplace_back(entry);
}

} // namespace

void reset_platform() {
	platform_calls.clear();
	acquire_errno = 0;
	release_errno = 0;
}

int ioperm_local(int from, int num, int turn_on) {
	record("ioperm %ld %ld %ld", from, num, turn_on);
	const int fault = turn_on != 0 ? acquire_errno : release_errno;
	if (fault == 0)
		return 0;
	errno = fault;
	return -1;
}

void outb_local(std::uint8_t value, int port) {
	record("outb 0x%02lx %ld", value, port);
}

// Defined here, this one wins over the C library's at link time.
extern "C" int usleep(useconds_t usec) {
	record("usleep %ld", static_cast<long>(usec), 0);
	return 0;
}
