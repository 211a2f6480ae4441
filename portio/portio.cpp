// SPDX-License-Identifier: MIT
#include "portio.h"

int port_acquire() {
	return ioperm_local(DATA_PORT, PORT_COUNT, 1);
}

int port_release() {
	return ioperm_local(DATA_PORT, PORT_COUNT, 0);
}

void outb(std::uint8_t value, int port) {
	outb_local(value, port);
}
