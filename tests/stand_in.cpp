// SPDX-License-Identifier: MIT
// Stands in for lptline on the emulated PC, as a case that tries to fool the
// report would. By default it shows what reached it: each argument on its
// own line, its bytes in hex, "-" for an empty one; the count of arguments
// goes to standard error and is the exit status. Other first arguments:
//   (none)         writes nothing and exits 0, the cheapest case;
//   stdin          reads its input to the end and says how much it got;
//   echo ARG...    writes each argument as it is, and a newline, to standard
//                  output and error, as a program that imitates the report
//                  would;
//   fail N TEXT    writes TEXT to standard error and exits N;
//   kill N         dies of signal N;
//   linger DIR...  leaves a process behind that plants FIFOs named as the
//                  next case's files in each DIR, writes to the report's
//                  port, then writes "late" for 5 s;
//   fill DIR...    writes to a file in each DIR until it is refused, and
//                  says why: to fill the disk that later cases write on;
//   others [linger]  names every other process that runs, but init and
//                  its own parent: nothing a case or run before it left;
//                  with linger, it leaves one behind;
//   ipc            tries to make System V IPC, a POSIX message queue and a
//                  key in the user's keyring, which would outlive it;
//   poweroff       powers the PC off at once, as a PC that stops early;
//   port OP...     as root, on the port at 0x378: rN reads register N,
//                  wN=HH writes the byte HH to it, in that order;
//   forge N        as root, writes 0x11 to the port, then case N's end to
//                  the report, as though it had ended with status 0;
//   traceme        asks to be traced by its parent, which is the PC's time,
//                  then stops itself, which time would take for its end;
//   oom            says its own OOM setting and its parent's, tries to lower
//                  its own, then takes memory that no process holds until
//                  the OOM killer ends something.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/keyctl.h>
#include <mqueue.h>
#include <string>
#include <sys/io.h>
#include <sys/mman.h>
#include <sys/msg.h>
#include <sys/ptrace.h>
#include <sys/reboot.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

int dump(int argc, char **argv) {
	for (int i = 1; i < argc; i++) {
		if (argv[i][0] == '\0')
			(void)std::fputs("-", stdout);
		for (const char *p = argv[i]; *p != '\0'; p++)
			(void)std::printf("%02x", static_cast<unsigned char>(*p));
		(void)std::fputs("\n", stdout);
	}
	(void)std::fprintf(stderr, "%d\n", argc - 1);
	return argc - 1;
}

int linger(int argc, char **argv) {
	if (fork() != 0)
		return 0;
	for (int i = 2; i < argc; i++) {
		for (const char *name : {"2.out", "2.err", "2.wait", "2.denied", "2.said"})
			(void)mkfifo((std::string(argv[i]) + "/" + name).c_str(), 0666);
	}
	// And the report's own port, which only root may write.
	if (FILE *report = std::fopen("/dev/ttyS1", "w")) {
		(void)std::fputs("@@ done 2\n@@ end\n", report);
		(void)std::fclose(report);
	}
	// Long after its parent's case has ended, into the next one's.
	(void)usleep(200000);
	for (int i = 0; i < 100; i++) {
		(void)std::fputs("late\n", stdout);
		(void)std::fputs("late\n", stderr);
		(void)std::fflush(stdout);
		(void)usleep(50000);
	}
	return 0;
}

int fill(int argc, char **argv) {
	static const char block[65536] = {};
	for (int i = 2; i < argc; i++) {
		FILE *file = std::fopen((std::string(argv[i]) + "/fill").c_str(), "w");
		while (file != nullptr && std::fwrite(block, 1, sizeof block, file) == sizeof block)
			;
		(void)std::printf("%s: %s\n", argv[i], std::strerror(errno));
		if (file != nullptr)
			(void)std::fclose(file);
	}
	return 0;
}

int others(int argc, char **argv) {
	DIR *proc = opendir("/proc");
	if (proc == nullptr)
		return 1;
	const long self = getpid();
	const long parent = getppid();
	while (const dirent *entry = readdir(proc)) {
		const long pid = std::strtol(entry->d_name, nullptr, 10);
		if (pid <= 1 || pid == self || pid == parent)
			continue;
		// Kernel threads have no command line.
		const std::string path = std::string("/proc/") + entry->d_name + "/cmdline";
		FILE *file = std::fopen(path.c_str(), "r");
		if (file == nullptr)
			continue;
		char name[64] = "";
		if (std::fgets(name, sizeof name, file) != nullptr && name[0] != '\0')
			(void)std::printf("%ld %s\n", pid, name);
		(void)std::fclose(file);
	}
	(void)closedir(proc);
	if (argc == 3 && std::strcmp(argv[2], "linger") == 0 && fork() == 0)
		(void)sleep(5);
	return 0;
}

int ipc() {
	const int queue = msgget(IPC_PRIVATE, 0600);
	(void)std::printf("msgget: %s\n", queue < 0 ? std::strerror(errno) : "made");
	const int set = semget(IPC_PRIVATE, 1, 0600);
	(void)std::printf("semget: %s\n", set < 0 ? std::strerror(errno) : "made");
	const int segment = shmget(IPC_PRIVATE, 4096, 0600);
	(void)std::printf("shmget: %s\n", segment < 0 ? std::strerror(errno) : "made");
	const mqd_t mq = mq_open("/stand-in", O_CREAT | O_RDWR, 0600, nullptr);
	(void)std::printf("mq_open: %s\n",
	                  mq == static_cast<mqd_t>(-1) ? std::strerror(errno) : "made");
	const long key = syscall(SYS_add_key, "user", "stand-in", "x", 1, KEY_SPEC_USER_KEYRING);
	(void)std::printf("add_key: %s\n", key < 0 ? std::strerror(errno) : "made");
	return 0;
}

constexpr unsigned short PORT = 0x378;

int port(int argc, char **argv) {
	if (ioperm(PORT, 3, 1) != 0) {
		std::perror("ioperm");
		return 1;
	}
	for (int i = 2; i < argc; i++) {
		const char *op = argv[i];
		const auto address = static_cast<unsigned short>(PORT + op[1] - '0');
		if (op[0] == 'r')
			(void)inb(address);
		else
			outb(static_cast<unsigned char>(std::strtoul(op + 3, nullptr, 16)),
			     address);
	}
	return 0;
}

int forge(const char *number) {
	if (ioperm(PORT, 1, 1) != 0) {
		std::perror("ioperm");
		return 1;
	}
	outb(0x11, PORT);
	FILE *report = std::fopen("/dev/ttyS1", "w");
	if (report == nullptr)
		return 1;
	(void)std::fprintf(report, "status 0\n@@ done %s\n", number);
	return std::fclose(report);
}

int traceme() {
	if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) {
		(void)std::printf("ptrace: %s\n", std::strerror(errno));
		return 0;
	}
	return std::raise(SIGUSR1);
}

long oom_setting(const std::string &pid) {
	FILE *file = std::fopen(("/proc/" + pid + "/oom_score_adj").c_str(), "r");
	char line[16] = "";
	if (file != nullptr) {
		(void)std::fgets(line, sizeof line, file);
		(void)std::fclose(file);
	}
	return std::strtol(line, nullptr, 10);
}

int oom() {
	const long own = oom_setting("self");
	const long parent = oom_setting(std::to_string(getppid()));
	FILE *file = std::fopen("/proc/self/oom_score_adj", "w");
	const bool lowered =
	    file != nullptr && std::fputs("0", file) >= 0 && std::fclose(file) == 0;
	(void)std::printf("oom_score_adj %ld, its parent's %ld; lowered to 0: %s\n", own, parent,
	                  lowered ? "yes" : std::strerror(errno));
	(void)std::fflush(stdout);
	const int fd = memfd_create("stand-in", 0);
	const off_t step = 1 << 20;
	off_t size = 0;
	while (fd >= 0 && fallocate(fd, 0, size, step) == 0)
		size += step;
	(void)std::printf("%ld MB: %s\n", static_cast<long>(size / step), std::strerror(errno));
	return 0;
}

} // namespace

int main(int argc, char **argv) {
	if (argc == 1)
		return 0;
	const std::string mode = argv[1];
	if (mode == "stdin" && argc == 2) {
		long got = 0;
		while (std::getchar() != EOF)
			got++;
		(void)std::printf("read %ld bytes\n", got);
		return 0;
	}
	if (mode == "echo") {
		for (int i = 2; i < argc; i++) {
			(void)std::printf("%s\n", argv[i]);
			(void)std::fprintf(stderr, "%s\n", argv[i]);
		}
		return 0;
	}
	if (mode == "fail" && argc == 4) {
		(void)std::fputs(argv[3], stderr);
		return static_cast<int>(std::strtol(argv[2], nullptr, 10));
	}
	if (mode == "kill" && argc == 3)
		return std::raise(static_cast<int>(std::strtol(argv[2], nullptr, 10)));
	if (mode == "linger")
		return linger(argc, argv);
	if (mode == "fill")
		return fill(argc, argv);
	if (mode == "others")
		return others(argc, argv);
	if (mode == "ipc")
		return ipc();
	if (mode == "poweroff" && argc == 2) {
		sync();
		return reboot(RB_POWER_OFF);
	}
	if (mode == "port")
		return port(argc, argv);
	if (mode == "forge" && argc == 3)
		return forge(argv[2]);
	if (mode == "traceme" && argc == 2)
		return traceme();
	if (mode == "oom" && argc == 2)
		return oom();
	return dump(argc, argv);
}
