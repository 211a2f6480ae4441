// SPDX-License-Identifier: MIT
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "fake_platform.h"
#include "lptline.h"
#include "portio.h"

namespace {

struct outcome {
	int status;
	std::string out;
	std::string err;
};

// What the tool wrote to the file's descriptor, which it reached through
// dup2, not through the stream.
std::string slurp(FILE *file) {
	std::string text;
	char block[256];
	ssize_t n = 0;
	while ((n = pread(fileno(file), block, sizeof block, static_cast<off_t>(text.size()))) > 0)
		text.append(block, static_cast<std::size_t>(n));
	if (n < 0)
		ADD_FAILURE() << "cannot read back a scratch file";
	return text;
}

// Runs the tool in-process with its standard output and error sent to
// scratch files, so that its own writes can be compared byte for byte; gtest
// reports to standard output, so nothing is checked before it is back.
outcome run_with(std::vector<std::string> args) {
	std::vector<char *> argv;
	std::transform(args.begin(), args.end(), std::back_inserter(argv),
	               // cppcheck-suppress constParameterReference ; argv takes char *
	               [](std::string &arg) { return arg.data(); });
	argv.push_back(nullptr);

	FILE *out = std::tmpfile();
	FILE *err = std::tmpfile();
	(void)std::fflush(nullptr);
	const int saved_out = dup(STDOUT_FILENO);
	const int saved_err = dup(STDERR_FILENO);
	// Without them no run could be watched: nothing to test, so stop.
	if (out == nullptr || err == nullptr || saved_out < 0 || saved_err < 0) {
		std::perror("setting the standard streams aside");
		std::abort();
	}
	(void)dup2(fileno(out), STDOUT_FILENO);
	(void)dup2(fileno(err), STDERR_FILENO);
	const int status = lptline_main(static_cast<int>(args.size()), argv.data());
	(void)std::fflush(nullptr);
	(void)dup2(saved_out, STDOUT_FILENO);
	(void)dup2(saved_err, STDERR_FILENO);
	(void)close(saved_out);
	(void)close(saved_err);

	outcome result{status, slurp(out), slurp(err)};
	(void)std::fclose(out);
	(void)std::fclose(err);
	return result;
}

// The build's port as the fake platform writes it: 0x378 unless the build
// names another.
std::string port_hex() {
	char text[16];
	(void)std::snprintf(text, sizeof text, "%#x", DATA_PORT);
	return text;
}
const std::string port = port_hex();
const std::string acquire = "ioperm " + port + " 3 1";
const std::string release = "ioperm " + port + " 3 0";
const std::string hold = "usleep 10000";

struct run_row {
	const char *name;
	std::vector<std::string> argv;
	int acquire_errno;
	int release_errno;
	int status;
	std::vector<std::string> calls;
	std::string error;
};

const run_row runs[] = {
    {"line 3", {"lptline", "3"}, 0, 0, 0, {acquire, "outb 0x04 " + port, hold, release}, ""},
    {"raw byte", {"lptline", "300"}, 0, 0, 0, {acquire, "outb 0x2c " + port, hold, release}, ""},
    {"negative", {"lptline", "-1"}, 0, 0, 0, {acquire, "outb 0xff " + port, hold, release}, ""},
    {"not a number",
     {"lptline", "--help"},
     0,
     0,
     0,
     {acquire, "outb 0x00 " + port, hold, release},
     ""},
    {"extra arguments ignored",
     {"lptline", "5", "6"},
     0,
     0,
     0,
     {acquire, "outb 0x10 " + port, hold, release},
     ""},
    {"acquire refused",
     {"lptline", "3"},
     EPERM,
     0,
     1,
     {acquire},
     "ioperm: Operation not permitted\n"},
    {"no ioperm in kernel",
     {"lptline", "3"},
     ENOSYS,
     0,
     1,
     {acquire},
     "ioperm: Function not implemented\n"},
    {"release fails",
     {"lptline", "8"},
     0,
     EINVAL,
     1,
     {acquire, "outb 0x80 " + port, hold, release},
     "ioperm: Invalid argument\n"},
    {"no argument", {"lptline"}, 0, 0, 2, {}, "usage: lptline LINE\n"},
    {"empty argument vector", {}, 0, 0, 2, {}, "usage: lptline LINE\n"},
};

TEST(run, calls_status_and_messages) {
	for (const auto &r : runs) {
		SCOPED_TRACE(r.name);
		reset_platform();
		acquire_errno = r.acquire_errno;
		release_errno = r.release_errno;
		const outcome got = run_with(r.argv);
		EXPECT_EQ(got.status, r.status);
		EXPECT_EQ(platform_calls, r.calls);
		EXPECT_EQ(got.err, r.error);
		EXPECT_EQ(got.out, "");
	}
}

} // namespace
