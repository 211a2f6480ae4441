#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# emu/run's conditions around the boot: signals and the bound stop
# everything at once and leave nothing behind, a failing, hanging or killed
# fetch gives one line and the documented status (never a hang), runs at
# once share one fetch, a damaged cache is mended, a whole read-only cache
# is used, and KVM is used only where asked for. Fetches use a stand-in for
# mmdebstrap that copies the shared cache's PC, so nothing is downloaded
# twice.
# usage: emu_fetch_test.sh EMU-RUN BINARY (static, amd64)
set -u
emu=$1 bin=$2
# shellcheck source=testlib.sh
. "$(dirname "$0")/testlib.sh"
# shellcheck source=emulib.sh
. "$(dirname "$0")/emulib.sh"

# The shared cache holds the PC from here on.
if ! "$emu" -b "$bin" -d bookworm 3 >/dev/null; then
	fail "the first run on the shared cache"
	finish
	exit
fi

# Every process emu/run starts carries this mark in its environment, so
# that what is left of a run can be found, whatever its session.
mark=LPTLINE_TEST_MARK=$$
left() {
	grep -lsa "$mark" /proc/[0-9]*/environ | cut -d/ -f3 | tr '\n' ' '
}
# interrupt SIGNAL STATUS WHAT SAID [VICTIM] -- COMMAND...: once WHAT runs,
# the signal (to emu/run, or to VICTIM) ends the command at once with that
# status and SAID as its last line, and leaves no process behind.
interrupt() {
	local signal=$1 want=$2 what=$3 said=$4 victim=$5 pid status start
	shift 6
	env "$mark" setsid env --default-signal=INT "$@" >/dev/null 2>"$work/err" &
	pid=$!
	for _ in $(seq 100); do
		pgrep -f "$what" >/dev/null && break
		sleep 0.1
	done
	start=$SECONDS
	if [ -n "$victim" ]; then pkill --signal "$signal" -f "$victim"; else kill -s "$signal" "$pid"; fi
	wait "$pid"
	status=$?
	if [ "$status" -ne "$want" ] || [ -n "$(left)" ] || [ $((SECONDS - start)) -gt 4 ] ||
		[ "$(tail -n1 "$work/err")" != "$said" ]; then
		fail "$signal: status $status, $((SECONDS - start)) s, said '$(tail -n1 "$work/err")', left: $(left)"
		left | xargs -r kill -KILL
	else
		echo "ok: $signal during $what: status $status; $said"
	fi
}
interrupt INT 130 qemu-system "emu/run: interrupted; the emulated PC is stopped" "" -- "$emu" -b "$bin" -r 1000 3
interrupt TERM 143 qemu-system "emu/run: terminated; the emulated PC is stopped" "" -- "$emu" -b "$bin" -r 1000 3

# The fetch, into a cache of its own. Stand-ins for mmdebstrap: one that
# hangs in the list fetch, one that fails with apt's line, one that copies
# the shared cache's PC (unpacked here, as the packages hold it).
mkdir -p "$work/mm" "$work/fake/boot"
cat >"$work/mm/mmdebstrap" <<'FAKE'
#!/usr/bin/env bash
echo "I: running apt-get update..." >&2
case $FAKE_MM in
fail) echo "E: apt-get update failed: 503 Service Unavailable" >&2; exit 1 ;;
hang) sleep 600 ;;
copy) sleep 2 && echo "Fetched 1 kB in 0s" >&2 && exec tar -C "$FAKE_PC" -c . ;;
esac
FAKE
chmod +x "$work/mm/mmdebstrap"
fresh=$work/fresh shared=${XDG_CACHE_HOME:-$HOME/.cache}/lptline/bookworm-amd64
(cd "$work/fake" && cpio --quiet -i <"$shared/cpio") && cp "$shared/vmlinuz" "$work/fake/boot/vmlinuz-6.1"
mm=(env "PATH=$work/mm:$PATH" "XDG_CACHE_HOME=$fresh" "FAKE_PC=$work/fake")
start=$SECONDS
check "-t 3 during the list fetch" "^emu/run: did not finish within 3 s$" "${mm[@]}" FAKE_MM=hang "$emu" -b "$bin" -t 3 3
[ $((SECONDS - start)) -le 5 ] || fail "-t 3 took $((SECONDS - start)) s"
check "apt fails" "^emu/run: could not fetch the bookworm amd64 PC: apt-get update failed: 503" \
	"${mm[@]}" FAKE_MM=fail "$emu" -b "$bin" -d bookworm 3
interrupt TERM 143 "sleep 600" "emu/run: terminated; the fetch is stopped" "" -- "${mm[@]}" FAKE_MM=hang "$emu" -b "$bin" 3
interrupt KILL 1 "sleep 600" "emu/run: could not fetch the bookworm amd64 PC: mmdebstrap was killed by signal 9" \
	"$work/mm/mmdebstrap" -- "${mm[@]}" FAKE_MM=hang "$emu" -b "$bin" -d bookworm 3
left=$(ls -A "$fresh/lptline")
[ "$left" = lock ] || fail "stopped fetches left: $left"
# emu/run itself killed: what it started holds no lock, and its folder
# is swept by the next fetch (below).
env "$mark" "${mm[@]}" FAKE_MM=hang "$emu" -b "$bin" 3 2>/dev/null &
for _ in $(seq 100); do pgrep -f "sleep 600" >/dev/null && break; sleep 0.1; done
kill -KILL $! && wait $! 2>/dev/null
flock -n "$fresh/lptline/lock" true || fail "a killed run's fetch holds the lock"
left | xargs -r kill -KILL
scratch=$(cat "$fresh"/lptline/.fetch-*/scratch)
[ -d "$scratch" ] || fail "a killed run's fetch left no folder in TMPDIR to sweep"

# Three runs at once on the empty cache: one fetches, the others wait for
# it, and all pass. What stays is the PC's files, without apt's state or
# what a killed run left.
pids=()
for n in 1 2 3; do
	"${mm[@]}" FAKE_MM=copy "$emu" -b "$bin" -d bookworm 3 >"$work/report$n" 2>"$work/err$n" &
	pids+=($!)
done
for n in 1 2 3; do
	wait "${pids[n - 1]}" || fail "run $n of 3 at once: $(grep -v '\.\.\.$' "$work/err$n")"
	grep -q '^after: .*(0x04)$' "$work/report$n" || fail "run $n of 3 at once: $(grep '^after' "$work/report$n")"
done
fetches=$(cat "$work"/err[123] | grep -c "fetching Debian bookworm's kernel")
[ "$fetches" -eq 1 ] || fail "three runs at once fetched $fetches times"
kept=$(cd "$fresh/lptline" && echo .[!.]* *)
[ "$kept" = ".[!.]* bookworm-amd64 lock" ] || fail "the cache holds $kept"
[ ! -e "$scratch" ] || fail "the killed run's $scratch is left"
echo "ok: three runs at once: all passed, $fetches fetch, $(cat "$work"/err[123] | grep -c waiting) waited"

# The bound covers the whole run at once.
start=$SECONDS
check "-t 1" "did not finish within 1 s" env XDG_CACHE_HOME="$fresh" "$emu" -b "$bin" -d bookworm -t 1 3
[ $((SECONDS - start)) -le 3 ] || fail "-t 1 took $((SECONDS - start)) s"

# Damage that a check of the contents alone would miss (the C library's
# link gone, busybox not executable) is found and mended with one line;
# /bin/ls stops the run after the check, before a boot.
pc=$fresh/lptline/bookworm-amd64
repack() {
	rm -rf "$work/re" && mkdir "$work/re" && (cd "$work/re" && cpio --quiet -i <"$pc/cpio" && eval "$1" &&
		find . -mindepth 1 | cpio --quiet -o -H newc -R 0:0 >"$pc/cpio")
}
for damage in "repack 'rm usr/lib/x86_64-linux-gnu/libcap.so.2'" "repack 'chmod -x usr/bin/busybox'" \
	"truncate -s 100000 $pc/vmlinuz" "rm $pc/sums"; do
	eval "$damage"
	"${mm[@]}" FAKE_MM=copy "$emu" -b /bin/ls -d bookworm 3 2>"$work/err"
	if ! grep -q "the cached bookworm amd64 PC is incomplete or damaged; fetching it again" "$work/err" ||
		! grep -q 'needs libselinux' "$work/err"; then
		fail "after $damage: said $(grep -v '\.\.\.$' "$work/err")"
	fi
done
echo "ok: damaged caches mended"

# Mounts need root: a cache without room for a fetch, a TMPDIR without room
# for the PC, a whole cache that may not be written, a KVM that hangs.
if [ "$(id -u)" -ne 0 ]; then
	echo "skip: not root, so no mounts for a full disk, a read-only cache or a KVM"
	finish
	exit
fi
mkdir "$work/mnt" "$work/dev" "$work/ro"
mount -t tmpfs -o size=20m tmpfs "$work/mnt"
check "no room for the fetch" "^emu/run: $work/mnt/lptline has [0-9]+ MB free; fetching the bookworm amd64 PC needs about [0-9]+ MB there$" \
	env XDG_CACHE_HOME="$work/mnt" "$emu" -b "$bin" -d bookworm 3
check "no room in TMPDIR for the fetch" "^emu/run: $work/mnt has [0-9]+ MB free; fetching the bookworm amd64 PC needs about 300 MB there$" \
	env TMPDIR="$work/mnt" XDG_CACHE_HOME="$work/roomy" "$emu" -b "$bin" -d bookworm 3
head -c 19m /dev/zero >"$work/mnt/fill"
check "no room in TMPDIR" "^emu/run: cannot write the PC's initramfs in $work/mnt/lptline-run\.[^ ]* \(TMPDIR\): [0-9]+ MB free there, about [0-9]+ MB needed$" \
	env TMPDIR="$work/mnt" XDG_CACHE_HOME="$fresh" "$emu" -b "$bin" -d bookworm 3
umount "$work/mnt"
mount --bind "$fresh" "$work/ro" && mount -o remount,bind,ro "$work/ro"
rm -f "$fresh/lptline/lock"
XDG_CACHE_HOME=$work/ro "$emu" -b "$bin" -d bookworm 3 >"$work/report" 2>"$work/err"
grep -q '^after: .*(0x04)$' "$work/report" || fail "read-only cache without a lock: $(grep -v '\.\.\.$' "$work/err")"
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
	fail "a KVM that hangs, read-only cache: $((SECONDS - start)) s, said $(grep -v '\.\.\.$' "$work/err")"
else
	echo "ok: a KVM that hangs, read-only cache: not tried, $((SECONDS - start)) s"
fi
umount "$work/ro"
"${kvm[@]}" LPTLINE_KVM=1 XDG_CACHE_HOME="$fresh" "$emu" -b "$bin" -d bookworm -t 5 3 >/dev/null 2>"$work/err"
if [ "$(cat "$work/boots")" != boot ] || [ "$(tail -n1 "$work/err")" != "emu/run: did not finish within 5 s" ]; then
	fail "LPTLINE_KVM=1: $(cat "$work/boots") boots, said $(tail -n1 "$work/err")"
else
	echo "ok: LPTLINE_KVM=1 boots with KVM, and the bound holds"
fi
finish
