// SPDX-License-Identifier: MIT
#include <cerrno>

#include "portio.h"

#if defined(__i386__) || defined(__x86_64__)

#include <sys/io.h>

int ioperm_local(int from, int num, int turn_on) {
	return ioperm(static_cast<unsigned long>(from), static_cast<unsigned long>(num), turn_on);
}

void outb_local(std::uint8_t value, int port) {
	// Written in place: with <sys/io.h>'s outb visible beside ours, a call
	// outb(value, port) with an int port picks ours and recurses.
	const auto address = static_cast<std::uint16_t>(port);
	__asm__ __volatile__("outb %b0, %w1" : : "a"(value), "Nd"(address));
}

#else

// No I/O port space: refuse the access the way a kernel without ioperm does,
// so the tool reports it and never reaches the output below.
int ioperm_local(int /*from*/, int /*num*/, int /*turn_on*/) {
	errno = ENOSYS;
	return -1;
}

void outb_local(std::uint8_t /*value*/, int /*port*/) {
}

#endif
