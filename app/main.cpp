// SPDX-License-Identifier: MIT
#include <cstdlib>

#include "lptline.h"

int main(int argc, char **argv) {
	exit(lptline_main(argc, argv));
}
