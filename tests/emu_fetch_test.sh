#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# emu/run around the boot: signals (more during the cleanup too), the
# bound and kill -9 leave nothing behind; fetches that fail, hang or meet a
# mirror mid-sync give one line; runs share one fetch; a damaged cache is
# mended; a missing tool or home and a full disk are named; a read-only
# cache is used; KVM only where asked for. Stand-ins replace mmdebstrap
# (copying the shared cache's PC) and QEMU where a boot adds nothing; most
# runs use /bin/ls, which emu/run refuses after the cache, before a boot.
# usage: emu_fetch_test.sh EMU-RUN BINARY (static, amd64)
set -u
emu=$1 bin=$2
# shellcheck source=testlib.sh
. "$(dirname "$0")/testlib.sh"
# shellcheck source=emulib.sh
. "$(dirname "$0")/emulib.sh"

# The shared cache holds the PC from here on.
shared=${XDG_CACHE_HOME:-$HOME/.cache}/lptline/bookworm-amd64
"$emu" -b /bin/ls -d bookworm 3 2>/dev/null
if [ ! -s "$shared/cpio" ]; then
	fail "the shared cache holds no bookworm amd64 PC"
	finish
	exit
fi
past_cache="needs libselinux"

# Every process emu/run starts carries this mark in its environment, so
# that what is left of a run can be found, whatever its session.
mark=LPTLINE_TEST_MARK=$$
left() {
	grep -lsa "$mark" /proc/[0-9]*/environ | cut -d/ -f3 | tr '\n' ' '
}
# running WORD: waits, 10 s at most, for a process of the run whose
# command line holds WORD.
running() {
	local pid
	for _ in $(seq 100); do
		for pid in $(left); do
			tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline" | grep -q -- "$1" && return 0
		done
		sleep 0.1
	done
	return 1
}
# fresh NAME: an empty folder $work/NAME.
fresh() {
	rm -rf "${work:?}/$1" && mkdir -p "$work/$1"
}
# said FILE: the lines of FILE that are no progress lines (which end in ...).
said() {
	grep -v '\.\.\.$' "$1"
}
# kept: what is left in $work/tmp and $work/cache, but the cache's lock.
kept() {
	(cd "$work" && find tmp cache -mindepth 1 ! -name lock ! -path cache/lptline)
}

# Stand-ins. QEMU deaf to TERM, whose sleep is its child: stopping it
# takes the 3 s grace and a KILL of its whole group. mmdebstrap: hangs in
# the list fetch (deaf to TERM or not), fails with apt's line, is killed,
# meets a mirror mid-sync FAKE_SYNC times (counted in FAKE_COUNT) before
# it copies, fills the disk, or copies the shared cache's PC (unpacked
# here, as the packages hold it) after FAKE_SLEEP seconds.
mkdir -p "$work/qemu" "$work/mm" "$work/fake/boot"
printf '#!/usr/bin/env bash\ntrap "" TERM\nsleep 600\n' >"$work/qemu/qemu-system-x86_64"
cat >"$work/mm/mmdebstrap" <<'FAKE'
#!/usr/bin/env bash
echo "I: running apt-get update..." >&2
echo x >>"${FAKE_COUNT:-/dev/null}"
sync="E: Failed to fetch http://mirror.example/debian/dists/bookworm/main/binary-amd64/Packages.xz"
case $FAKE_MM in
fail) echo "E: apt-get update failed: 503 Service Unavailable" >&2; exit 1 ;;
hang) sleep 600 ;;
killed) kill -KILL $$ ;;
deaf) trap "" TERM; sleep 600 ;;
big) exec head -c 60m /dev/zero ;;
security)
	# Runs the hook it is given on a list with the security suite.
	root=$(mktemp -d) && mkdir -p "$root/etc/apt"
	echo "deb http://mirror.example/debian-security bookworm-security main" >"$root/etc/apt/sources.list"
	for arg in "$@"; do
		case $arg in --setup-hook=*) sh -c "${arg#--setup-hook=}" sh "$root" ;; esac
	done
	listed=$(cat "$root/etc/apt/sources.list") && rm -rf "$root"
	if [[ $listed == *security* ]]; then
		# As apt says it: the index, its fault on a line of its own, then the error.
		echo "Err:4 http://mirror.example/debian-security bookworm-security/main amd64 Packages" >&2
		echo "  File has unexpected size (1 != 2). Mirror sync in progress?" >&2
		echo "${sync/debian\/dists\/bookworm/debian-security/dists/bookworm-security}  File has unexpected size (1 != 2). Mirror sync in progress?" >&2
		exit 100
	fi ;&
size | hash)
	if [ "$(wc -l <"$FAKE_COUNT")" -le "$FAKE_SYNC" ]; then
		[ "$FAKE_MM" = size ] && echo "$sync  File has unexpected size (39716 != 39712). Mirror sync in progress?" >&2
		[ "$FAKE_MM" = hash ] && echo "$sync  Hash Sum mismatch" >&2
		exit 100
	fi ;&
copy) sleep "${FAKE_SLEEP:-0}" && echo "Fetched 1 kB in 0s" >&2 && exec tar -C "$FAKE_PC" -c . ;;
esac
FAKE
chmod +x "$work/qemu/qemu-system-x86_64" "$work/mm/mmdebstrap"
(cd "$work/fake" && cpio --quiet -i <"$shared/cpio") && cp "$shared/vmlinuz" "$work/fake/boot/vmlinuz-6.1"
mm=(env "PATH=$work/mm:$PATH" "FAKE_PC=$work/fake")
deafqemu=(env "PATH=$work/qemu:$PATH")

# A signal while QEMU or the fetch runs, then more of them during the
# cleanup (every GAP seconds), or the bound (-t) alone: the first decides,
# in one line with its status (128+N; the bound's 1, or 125 with -s), and
# nothing is left in TMPDIR, in the cache or running. The stand-ins deaf
# to TERM make the cleanup last 3 s.
while read -r first later gap want stand what options line; do
	fresh tmp && fresh cache
	cmd=(env "TMPDIR=$work/tmp")
	case $stand in
	qemu) cmd+=("${deafqemu[@]}") ;;
	hang | deaf) cmd+=("${mm[@]}" "FAKE_MM=$stand" "XDG_CACHE_HOME=$work/cache") ;;
	esac
	# shellcheck disable=SC2086 # one option a word
	env "$mark" setsid "${cmd[@]}" "$emu" ${options//,/ } -b "$bin" -d bookworm 3 >/dev/null 2>"$work/err" &
	pid=$!
	running "$what" || fail "$first: $what never ran"
	start=$SECONDS
	[ "$first" = - ] || kill -s "$first" "$pid"
	for signal in ${later//[,-]/ } ${later//[,-]/ } ${later//[,-]/ }; do
		sleep "$gap"
		kill -s "$signal" "$pid" 2>/dev/null
	done
	wait "$pid"
	status=$?
	if [ "$status" -ne "$want" ] || [ "$(said "$work/err")" != "emu/run: $line" ] || [ -n "$(kept)" ] ||
		[ -n "$(left)" ] || [ $((SECONDS - start)) -gt 6 ]; then
		fail "$first, then $later during $what ($options): status $status, $((SECONDS - start)) s, said" \
			"'$(said "$work/err")', kept '$(kept)', left: $(left)"
		left | xargs -r kill -KILL
	else
		echo "ok: $first, then $later during $what ($options): status $status; $line"
	fi
done <<'ROWS'
INT INT,INT,TERM,HUP 0.01 130 - qemu-system -r,1000 interrupted; the emulated PC is stopped
TERM TERM,INT,HUP 0.1 143 qemu sleep -r,1000 terminated; the emulated PC is stopped
INT INT,TERM 0.01 130 hang sleep -r,1000 interrupted; the fetch is stopped
TERM TERM,HUP,INT 0.1 143 deaf sleep -r,1000 terminated; the fetch is stopped
HUP HUP,INT,TERM 0.1 129 deaf sleep -r,1000 hung up; the fetch is stopped
- - 0 1 hang sleep -t,1 did not finish within 1 s
- - 0 125 hang sleep -s,-t,1 did not finish within 1 s
- - 0 1 - qemu-system -t,2 did not finish within 2 s
ROWS
# Nor does a wait end it: for another run's use of the cache, or for a
# case file (a FIFO) that nobody opens.
mkdir -p "$work/cache/lptline" && mkfifo "$work/fifo"
exec {held}>"$work/cache/lptline/lock"
flock "$held"
check "-t 1 while another run holds the cache" "^emu/run: did not finish within 1 s$" \
	env XDG_CACHE_HOME="$work/cache" "$emu" -b "$bin" -d bookworm -t 1 3
exec {held}>&-
check "-t 1 while the case file never opens" "^emu/run: did not finish within 1 s$" "$emu" -b "$bin" -t 1 -f "$work/fifo"

# emu/run killed outright, during a boot (QEMU, or a stand-in whose sleep
# is its child) or a fetch: nothing it started runs on, its lock is free,
# and its folder in TMPDIR is gone; what its fetch left is swept by the
# next run on that cache (below).
fresh tmp && fresh cache
while read -r stand what; do
	cmd=(env "TMPDIR=$work/tmp")
	case $stand in
	qemu) cmd+=("${deafqemu[@]}") ;;
	hang) cmd+=("${mm[@]}" FAKE_MM=hang "XDG_CACHE_HOME=$work/cache") ;;
	esac
	env "$mark" "${cmd[@]}" "$emu" -b "$bin" -d bookworm 3 >/dev/null 2>&1 &
	pid=$!
	running "$what" || fail "KILL: $what never ran"
	kill -KILL "$pid" && wait "$pid" 2>/dev/null
	for _ in $(seq 20); do [ -z "$(left)" ] && break; sleep 0.1; done
	lock=$work/cache/lptline/lock
	if [ -n "$(left)" ] || { [ -e "$lock" ] && ! flock -n "$lock" true; } ||
		compgen -G "$work/tmp/lptline-run.*" >/dev/null; then
		fail "KILL during $what: left $(left), in TMPDIR $(ls "$work/tmp")"
		left | xargs -r kill -KILL
	else
		echo "ok: KILL during $what: nothing runs on, the locks are free"
	fi
done <<'ROWS'
- qemu-system
qemu sleep
hang sleep
ROWS
scratch=$(cat "$work"/cache/lptline/.fetch-*/scratch)
[ -d "$scratch" ] || fail "a killed run's fetch left no folder in TMPDIR to sweep"
# Its guard killed too: QEMU still dies with it, and the run's folder is
# swept by the next run in that TMPDIR.
env "$mark" TMPDIR="$work/tmp" "$emu" -b "$bin" -d bookworm 3 >/dev/null 2>&1 &
pid=$!
running qemu-system || fail "KILL of the guard: QEMU never ran"
# The guard first (it came later), so that it has not begun its work.
victims=$(for victim in $(left); do
	tr '\0' ' ' 2>/dev/null <"/proc/$victim/cmdline" | grep -q -- "$emu" && echo "$victim"
done | sort -rn)
# shellcheck disable=SC2086 # one word a process
kill -KILL $victims && wait "$pid" 2>/dev/null
sleep 0.5
[ -z "$(left)" ] || fail "emu/run and its guard killed: left $(left)"
compgen -G "$work/tmp/lptline-run.*" >/dev/null || fail "emu/run and its guard killed: no run folder left to sweep"
TMPDIR="$work/tmp" "$emu" -b /bin/ls -d bookworm 3 2>/dev/null
compgen -G "$work/tmp/lptline-run.*" >/dev/null && fail "a killed run's folder in TMPDIR is not swept"

# Three runs at once on an empty cache in an existing HOME: one fetches,
# the others wait for it, and all go past the cache. What stays is the
# PC's files, without apt's state or what the killed run left.
fresh home
pids=()
for n in 1 2 3; do
	"${mm[@]}" FAKE_MM=copy FAKE_SLEEP=2 TMPDIR="$work/tmp" HOME="$work/home" XDG_CACHE_HOME= "$emu" -b /bin/ls -d bookworm 3 \
		2>"$work/err$n" &
	pids+=($!)
done
for n in 1 2 3; do
	wait "${pids[n - 1]}"
	grep -q "$past_cache" "$work/err$n" || fail "run $n of 3 at once: $(said "$work/err$n")"
done
fetches=$(cat "$work"/err[123] | grep -c "fetching Debian bookworm's kernel")
[ "$fetches" -eq 1 ] || fail "three runs at once fetched $fetches times"
kept=$(cd "$work/home/.cache/lptline" && echo .[!.]* *)
[ "$kept" = ".[!.]* bookworm-amd64 lock" ] || fail "the cache holds $kept"
echo "ok: three runs at once: $fetches fetch, $(cat "$work"/err[123] | grep -c waiting) waited"
# The killed fetch's leftovers go with the next run on its cache, and so
# does a leftover whose note of its TMPDIR folder is no path.
mkdir "$work/cache/lptline/.fetch-bad" && printf '/\377\0' >"$work/cache/lptline/.fetch-bad/scratch"
"${mm[@]}" FAKE_MM=fail XDG_CACHE_HOME="$work/cache" "$emu" -b /bin/ls -d bookworm 3 2>/dev/null
if [ -e "$scratch" ] || compgen -G "$work/cache/lptline/.fetch-*" >/dev/null; then
	fail "the killed fetch's folders are left: $(ls -A "$work/cache/lptline")"
fi

# Failing fetches: each says one line and leaves only the lock. A mirror
# mid-sync is tried again after a pause (a tenth of -t), with a line each
# time, and up to 4 times; any other failure is not. A missing tool is
# named with its package; a missing home is no place to make a cache in.
pc=$work/cache/lptline/bookworm-amd64
while read -r name tries lines env pattern; do
	fresh cache && fresh count
	IFS=, read -ra env <<<"$env"
	"${mm[@]}" "${env[@]}" FAKE_COUNT="$work/count/n" XDG_CACHE_HOME="$work/cache" \
		"$emu" -b /bin/ls -d bookworm -t 10 3 >/dev/null 2>"$work/err"
	status=$?
	count=$(wc -l <"$work/count/n")
	pauses=$(grep -c "^emu/run: Debian's mirror is mid-sync (.*); trying again in [0-9]\+ s\.\.\.$" "$work/err")
	if [ "$status" -ne 1 ] || [ "$(said "$work/err" | wc -l)" -ne "$lines" ] ||
		! [[ "$(said "$work/err" | tail -n1)" =~ $pattern ]] || [ "$count" -ne "$tries" ] ||
		[ "$pauses" -ne $((tries - 1)) ]; then
		fail "$name: status $status, $count tries, $pauses pauses, said $(cat "$work/err")"
	elif [ "$lines" -eq 1 ] && [ -n "$(kept)" ]; then
		fail "$name: left $(kept)"
	else
		echo "ok: $name: $tries tries, $pauses pauses; $(said "$work/err" | tail -n1)"
	fi
done <<'ROWS'
apt-fails 1 1 FAKE_MM=fail ^emu/run: could not fetch the bookworm amd64 PC: apt-get update failed: 503 Service Unavailable$
killed 1 1 FAKE_MM=killed ^emu/run: could not fetch the bookworm amd64 PC: mmdebstrap was killed by signal 9$
mid-sync-always 4 1 FAKE_MM=size,FAKE_SYNC=9 ^emu/run: could not fetch the bookworm amd64 PC: Debian's mirror was still mid-sync after 4 tries \(File has unexpected size \(39716 != 39712\)\); try again later$
mid-sync-twice 3 3 FAKE_MM=size,FAKE_SYNC=2 libselinux
hash-sum-mismatch-once 2 3 FAKE_MM=hash,FAKE_SYNC=1 libselinux
ROWS
# The security suite alone mid-sync: the release is taken without it, at
# once, with a line that says so.
fresh cache && fresh count
"${mm[@]}" FAKE_MM=security FAKE_SYNC=0 FAKE_COUNT="$work/count/n" XDG_CACHE_HOME="$work/cache" \
	"$emu" -b /bin/ls -d bookworm -t 10 3 >/dev/null 2>"$work/err"
if [ "$(wc -l <"$work/count/n")" -ne 2 ] || ! grep -q "^emu/run: Debian's security suite is mid-sync (File has unexpected size (1 != 2)); taking bookworm amd64 without it\.\.\.$" "$work/err" ||
	! grep -q libselinux "$work/err"; then
	fail "security suite mid-sync: $(wc -l <"$work/count/n") tries, said $(cat "$work/err")"
else
	echo "ok: security suite mid-sync: taken without it"
fi
# PATH without one tool: a folder of links to every other one.
for tool in mmdebstrap tar cpio; do
	fresh bin && fresh cache
	cp -s /usr/bin/* "$work/bin/" 2>/dev/null
	rm -f "$work/bin/$tool" "$work/bin/mmdebstrap"
	[ "$tool" = mmdebstrap ] || ln -s "$work/mm/mmdebstrap" "$work/bin/"
	check "no $tool" "^emu/run: $tool is missing; install it with tools/deps \(package $tool\)$" \
		"${mm[@]}" FAKE_MM=copy PATH="$work/bin:/usr/sbin" XDG_CACHE_HOME="$work/cache" "$emu" -b /bin/ls -d bookworm 3
done
for name in HOME XDG_CACHE_HOME; do
	check "no $name folder" "^emu/run: $name $work/none does not exist: set XDG_CACHE_HOME to a folder" \
		"${mm[@]}" FAKE_MM=fail XDG_CACHE_HOME= "$name=$work/none" "$emu" -b /bin/ls -d bookworm 3
	if [ -e "$work/none" ]; then
		fail "no $name folder: emu/run made $(find "$work/none")"
		rm -rf "$work/none"
	fi
done

# Damage that a check of the contents alone would miss (the C library's
# link gone, busybox not executable), and damaged sums (bytes that are no
# text, none, cut short), are found and mended with one line.
repack() {
	rm -rf "$work/re" && mkdir "$work/re" && (cd "$work/re" && cpio --quiet -i <"$pc/cpio" && eval "$1" &&
		find . -mindepth 1 | cpio --quiet -o -H newc -R 0:0 >"$pc/cpio")
}
"${mm[@]}" FAKE_MM=copy XDG_CACHE_HOME="$work/cache" "$emu" -b /bin/ls -d bookworm 3 2>/dev/null
while read -r damage; do
	eval "$damage"
	"${mm[@]}" FAKE_MM=copy XDG_CACHE_HOME="$work/cache" "$emu" -b /bin/ls -d bookworm 3 2>"$work/err"
	if ! grep -q "the cached bookworm amd64 PC is incomplete or damaged; fetching it again" "$work/err" ||
		! grep -q "$past_cache" "$work/err" || grep -q Traceback "$work/err"; then
		fail "after $damage: said $(said "$work/err")"
	else
		echo "ok: mended after $damage"
	fi
done <<'ROWS'
repack 'rm usr/lib/x86_64-linux-gnu/libcap.so.2'
repack 'chmod -x usr/bin/busybox'
truncate -s 100000 "$pc/vmlinuz"
rm "$pc/sums"
printf '\377\376 vmlinuz\n' >"$pc/sums"
: >"$pc/sums"
truncate -s 70 "$pc/sums"
ROWS

# Mounts need root: a cache without room for a fetch, a TMPDIR without room
# for the PC, a fetch that fills the disk, a whole cache that may not be
# written, a KVM that hangs.
if [ "$(id -u)" -ne 0 ]; then
	echo "skip: not root, so no mounts for a full disk, a read-only cache or a KVM"
	finish
	exit
fi
mkdir "$work/mnt" "$work/dev" "$work/ro" "$work/roomy"
mount -t tmpfs -o size=20m tmpfs "$work/mnt"
check "no room for the fetch" "^emu/run: $work/mnt/lptline has [0-9]+ MB free; fetching the bookworm amd64 PC needs about [0-9]+ MB there$" \
	env XDG_CACHE_HOME="$work/mnt" "$emu" -b "$bin" -d bookworm 3
check "no room in TMPDIR for the fetch" "^emu/run: $work/mnt has [0-9]+ MB free; fetching the bookworm amd64 PC needs about 300 MB there$" \
	env TMPDIR="$work/mnt" XDG_CACHE_HOME="$work/roomy" "$emu" -b "$bin" -d bookworm 3
head -c 19m /dev/zero >"$work/mnt/fill"
check "no room in TMPDIR" "^emu/run: cannot write the PC's initramfs in $work/mnt/lptline-run\.[^ ]* \(TMPDIR\): [0-9]+ MB free there, about [0-9]+ MB needed$" \
	env TMPDIR="$work/mnt" XDG_CACHE_HOME="$work/cache" "$emu" -b "$bin" -d bookworm 3
umount "$work/mnt"
mount -t tmpfs -o size=45m tmpfs "$work/mnt"
check "a fetch that fills the cache's disk" "^emu/run: could not fetch the bookworm amd64 PC: $work/mnt/lptline is full \(No space left on device\)$" \
	"${mm[@]}" FAKE_MM=big XDG_CACHE_HOME="$work/mnt" "$emu" -b "$bin" -d bookworm 3
[ "$(ls -A "$work/mnt/lptline")" = lock ] || fail "a fetch that filled the disk left $(ls -A "$work/mnt/lptline")"
umount "$work/mnt"
mount --bind "$work/cache" "$work/ro" && mount -o remount,bind,ro "$work/ro"
rm -f "$work/cache/lptline/lock"
XDG_CACHE_HOME=$work/ro "$emu" -b /bin/ls -d bookworm 3 2>"$work/err"
grep -q "$past_cache" "$work/err" || fail "read-only cache without a lock: $(said "$work/err")"
echo "ok: a whole cache that is read-only is used as it is"

# with_kvm COMMAND...: COMMAND sees a /dev/kvm, a plain file, beside the
# host's devices. A stand-in QEMU hangs with KVM, as nested virtualisation
# can, and is the real one without. KVM is tried only where asked for, so
# a run on a read-only cache neither probes nor waits for it.
with_kvm() {
	# shellcheck disable=SC2016 # the inner shell expands them
	unshare --mount bash -c 'mount --rbind /dev "$0" && mount -t tmpfs tmpfs /dev &&
		for n in "$0"/*; do ln -s "$n" "/dev/${n##*/}"; done && touch /dev/kvm && exec "$@"' "$work/dev" "$@"
}
mkdir "$work/kvm"
cat >"$work/kvm/qemu-system-x86_64" <<'FAKE'
#!/usr/bin/env bash
[[ " $* " != *" -accel kvm "* ]] && exec "$REAL_QEMU" "$@"
echo boot >>"$BOOTS" && exec sleep 600
FAKE
chmod +x "$work/kvm/qemu-system-x86_64"
kvm=(with_kvm env "PATH=$work/kvm:$PATH" "REAL_QEMU=$(command -v qemu-system-x86_64)" "BOOTS=$work/boots")
start=$SECONDS
"${kvm[@]}" XDG_CACHE_HOME="$work/ro" "$emu" -b "$bin" -d bookworm 3 >"$work/report" 2>"$work/err"
if ! grep -q '^after: .*(0x04)$' "$work/report" || [ -e "$work/boots" ] || [ $((SECONDS - start)) -gt 30 ]; then
	fail "a KVM that hangs, read-only cache: $((SECONDS - start)) s, said $(said "$work/err")"
else
	echo "ok: a KVM that hangs, read-only cache: not tried, $((SECONDS - start)) s"
fi
umount "$work/ro"
"${kvm[@]}" LPTLINE_KVM=1 XDG_CACHE_HOME="$work/cache" "$emu" -b "$bin" -d bookworm -t 3 3 >/dev/null 2>"$work/err"
if [ "$(cat "$work/boots")" != boot ] || [ "$(tail -n1 "$work/err")" != "emu/run: did not finish within 3 s" ]; then
	fail "LPTLINE_KVM=1: $(cat "$work/boots") boots, said $(tail -n1 "$work/err")"
else
	echo "ok: LPTLINE_KVM=1 boots with KVM, and the bound holds"
fi
finish
