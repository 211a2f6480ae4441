#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "fake_platform.h"
#include "lptline.h"

namespace {

// Points a standard descriptor at a temporary file for the life of the
// object, so the run's own writes can be compared byte for byte.
struct Capture {
	explicit Capture(int target) : fd(target), file(std::tmpfile()), saved(dup(target)) {
		(void)std::fflush(nullptr);
		(void)dup2(fileno(file), target);
	}
	~Capture() {
		(void)dup2(saved, fd);
		(void)close(saved);
		(void)std::fclose(file);
	}
	std::string text() const {
		(void)std::fflush(nullptr);
		std::string out;
		std::rewind(file);
		for (int c; (c = std::fgetc(file)) != EOF;)
			out += static_cast<char>(c);
		return out;
	}
	Capture(const Capture &) = delete;
	Capture &operator=(const Capture &) = delete;

	int fd;
	FILE *file;
	int saved;
};

const std::string acquire = "ioperm 888 3 1";
const std::string release = "ioperm 888 3 0";
const std::string hold = "usleep 10000";

struct Run {
	const char *name;
	std::vector<std::string> args;
	int acquire_errno;
	int release_errno;
	int status;
	std::vector<std::string> calls;
	std::string error;
};

const Run runs[] = {
    {"line 3", {"3"}, 0, 0, 0, {acquire, "outb 0x04 888", hold, release}, ""},
    {"raw byte", {"300"}, 0, 0, 0, {acquire, "outb 0x2c 888", hold, release}, ""},
    {"negative", {"-1"}, 0, 0, 0, {acquire, "outb 0xff 888", hold, release}, ""},
    {"not a number", {"--help"}, 0, 0, 0, {acquire, "outb 0x00 888", hold, release}, ""},
    {"extra arguments ignored", {"5", "6"}, 0, 0, 0, {acquire, "outb 0x10 888", hold, release}, ""},
    {"acquire refused", {"3"}, EPERM, 0, 1, {acquire}, "ioperm: Operation not permitted\n"},
    {"no ioperm in kernel", {"3"}, ENOSYS, 0, 1, {acquire}, "ioperm: Function not implemented\n"},
    {"release fails",
     {"8"},
     0,
     EINVAL,
     1,
     {acquire, "outb 0x80 888", hold, release},
     "ioperm: Invalid argument\n"},
    {"no argument", {}, 0, 0, 2, {}, "usage: lptline LINE\n"},
};

int run_with(std::vector<std::string> args, bool with_name = true) {
	if (with_name)
		args.insert(args.begin(), "lptline");
	std::vector<char *> argv;
	std::transform(args.begin(), args.end(), std::back_inserter(argv),
	               [](std::string &arg) { return arg.data(); });
	argv.push_back(nullptr);
	return lptline(static_cast<int>(args.size()), argv.data());
}

TEST(Run, CallsStatusAndMessages) {
	for (const auto &r : runs) {
		SCOPED_TRACE(r.name);
		reset_platform();
		acquire_errno = r.acquire_errno;
		release_errno = r.release_errno;
		int status = 0;
		std::string output;
		std::string error;
		{
			// gtest reports to standard output: compare only once it is back.
			Capture out(STDOUT_FILENO);
			Capture err(STDERR_FILENO);
			status = run_with(r.args);
			output = out.text();
			error = err.text();
		}
		EXPECT_EQ(status, r.status);
		EXPECT_EQ(platform_calls, r.calls);
		EXPECT_EQ(error, r.error);
		EXPECT_EQ(output, "");
	}
}

TEST(Run, EmptyArgumentVectorIsUsageError) {
	reset_platform();
	int status = 0;
	std::string error;
	{
		Capture err(STDERR_FILENO);
		status = run_with({}, false);
		error = err.text();
	}
	EXPECT_EQ(status, 2);
	EXPECT_EQ(error, "usage: lptline LINE\n");
	EXPECT_TRUE(platform_calls.empty());
}

} // namespace
