// SPDX-License-Identifier: MIT
#ifndef PORTIO_H
#define PORTIO_H

#include <cstdint>

// The first parallel port's register block: data, status, control. Only
// the data register is written, but access is asked for the whole block, as
// the port is listed in /proc/ioports (0378-037a), so that a trace or an
// audit record names the device; the two extra ports cost nothing.
// A card at another address is reached by a build for it (LPTLINE_DATA_PORT).
#ifndef LPTLINE_DATA_PORT
#define LPTLINE_DATA_PORT 0x378
#endif
constexpr int DATA_PORT = LPTLINE_DATA_PORT;
constexpr int PORT_COUNT = 3;

// Take and give back this process's access to the whole block. 0 on
// success; otherwise nonzero with errno set for the caller's report.
int port_acquire();
int port_release();

// Value first, port second, as the kernel's outb(2). Only the low 16 bits of
// the port are an I/O address. Call only while the access is held.
void outb(std::uint8_t value, int port);

// The platform under the calls above; tests link their own in its place.
int ioperm_local(int from, int num, int turn_on);
void outb_local(std::uint8_t value, int port);

#endif
