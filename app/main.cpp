#include <cstdlib>

#include "lptline.h"

int main(int argc, char **argv) {
	exit(lptline(argc, argv));
}
