// SPDX-License-Identifier: MIT
#ifndef FAKE_PLATFORM_H
#define FAKE_PLATFORM_H

#include <string>
#include <vector>

// What the code under test asked of the platform, one entry a call, such as
// "ioperm 0x378 3 1", "outb 0x04 0x378", "usleep 10000".
extern std::vector<std::string> platform_calls;

// errno for the next acquire (ioperm on) or release (ioperm off) to fail
// with; 0 lets it succeed.
extern int acquire_errno;
extern int release_errno;

void reset_platform();

#endif
