#!/usr/bin/env bash
# Checks the format, builds and runs the test programs that exercise threads under
# ThreadSanitizer, then the whole suite twice (ASan+UBSan with clang, then plain; as root this
# includes the flows end to end between two network namespaces, scripts/netns-e2e.sh), runs each
# plain test program once more with its tests in one process in a shuffled order, installs and
# consumes the package (static and shared), and makes a short smoke run of every fuzz target.
# The plain build is Release and includes the benchmarks. Exits non-zero on any failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh"
jobs=${TELVO_JOBS:-$(nproc)}
build="$root/build"
export CCACHE_DIR="${CCACHE_DIR:-$HOME/.cache/telvo-ccache}"
# Cache hits across checkouts in other folders, and for the tests' precompiled header.
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
export CCACHE_SLOPPINESS="pch_defines,time_macros,include_file_mtime,include_file_ctime"

# Each suite is built, then its tests run in the background while the next suite builds: the
# tests spend most of their time waiting (on loopback, on buses, on real-time steps), which the
# next build fills. One suite's tests and one build at a time.
build_suite() { # name, [--targets "t1 t2"], extra cmake args...
  local name=$1; shift
  local targets=()
  if [ "${1:-}" = "--targets" ]; then
    for t in $2; do targets+=(--target "$t"); done
    shift 2
  fi
  echo "=== $name build"
  cmake -S "$root" -B "$build/$name" -G Ninja "$@" >/dev/null || return 1
  # A failed build must not fall through to stale test programs.
  cmake --build "$build/$name" -j "$jobs" "${targets[@]}" ||
    { echo "=== $name build FAILED"; all_failed=$((all_failed + 1)); return 1; }
}

tests_pid=""
tests_name=""
start_tests() { # name, [label regex]; the environment of the call reaches the tests
  local name=$1 labels=()
  [ -n "${2:-}" ] && labels=(-L "^($2)$")
  ctest --test-dir "$build/$name" -j "$jobs" --output-on-failure --timeout 300 "${labels[@]}" \
    >"$build/$name/ctest.log" 2>&1 &
  tests_pid=$!
  tests_name=$name
}

finish_tests() { # waits for the tests started last and counts them
  [ -n "$tests_pid" ] || return 0
  local name=$tests_name log="$build/$tests_name/ctest.log" rc=0
  wait "$tests_pid" || rc=$?
  tests_pid=""
  echo "=== $name tests"
  # ctest's summary: "100% tests passed, 0 tests failed out of N".
  local summary total failed
  summary=$(grep -E "tests failed out of [0-9]+" "$log" | tail -n 1)
  total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$summary")
  failed=$(sed -E 's/.*, ([0-9]+) tests? failed.*/\1/' <<<"$summary")
  if [ -n "$summary" ]; then
    all_passed=$((all_passed + total - failed)); all_failed=$((all_failed + failed))
  else
    all_failed=$((all_failed + 1))
  fi
  # The run between network namespaces needs root; say so plainly when it was skipped.
  if grep -qE "NetnsE2E.Flows .*Skipped" "$log"; then
    echo "netns end-to-end run: SKIPPED (making network namespaces needs root with CAP_NET_ADMIN)"
  fi
  if [ "$rc" -eq 0 ]; then
    tail -n 4 "$log"
  else
    tail -n 300 "$log"   # the failures' output, then ctest's summary
  fi
  return "$rc"
}

status=0
all_passed=0
all_failed=0
# Every C++ file in the project's format; counted as one check.
echo "=== format check"
if bash "$root/scripts/check-format.sh"; then
  all_passed=$((all_passed + 1))
else
  all_failed=$((all_failed + 1)); status=1
fi
# Each configuration is built once, and the suite whose tests take least is built last, so that
# the longer test runs overlap the builds after them: ThreadSanitizer (the programs that exercise
# threads), then AddressSanitizer + UndefinedBehaviorSanitizer, then the plain build. The plain
# one is the README's benchmark build with the tests added (Release, so that an optimiser's
# warnings cannot creep in), and the package check installs the same objects. Elsewhere line
# tables only (-g1): file and line in sanitizer reports at a fraction of full debug information's
# compile time.
# Each target's sources are compiled in batches (TELVO_UNITY): the headers they share are parsed
# once per batch, which halves the compile work of a build from scratch. Developers' own builds
# compile file by file, which also catches a file that lacks an include. Every build links with
# lld, which links the sanitized programs several times faster than the default linker.
unity=-DTELVO_UNITY=ON
lld=(-DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld -DCMAKE_SHARED_LINKER_FLAGS=-fuse-ld=lld)
asan_env=(ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1)
tsan_env=(TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$root/scripts/tsan.supp)

# ThreadSanitizer: only the programs that exercise the runtime's threads, the library at -O1
# (what ThreadSanitizer finds does not depend on the level; the compile takes a quarter less).
tsan_programs="tests_platform tests_core tests_records tests_entry tests_http tests_sockets tests_cloud tests_discovery tests_dbus tests_blecore tests_bleflows tests_apconfig tests_bluez"
export "${tsan_env[@]}"
if build_suite tsan --targets "$tsan_programs" "$unity" "${lld[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
  -DTELVO_TSAN=ON -DTELVO_WERROR=ON; then
  start_tests tsan "${tsan_programs// /|}"
else
  status=1
fi
# AddressSanitizer and UndefinedBehaviorSanitizer with clang, which also builds the fuzz targets
# from the same objects (libFuzzer is clang's): one instrumented build serves both.
sanitized=0
build_suite sanitized "$unity" "${lld[@]}" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-O1 \
  -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DCMAKE_C_FLAGS_DEBUG=-g1 -DCMAKE_C_COMPILER=clang-14 \
  -DCMAKE_CXX_COMPILER=clang++-14 -DTELVO_SANITIZE=ON -DTELVO_BUILD_FUZZ=ON -DTELVO_WERROR=ON ||
  { status=1; sanitized=1; }
finish_tests || status=1
unset TSAN_OPTIONS
export "${asan_env[@]}"
[ "$sanitized" -eq 0 ] && start_tests sanitized
plain=0
source "$root/scripts/plain-build-args.sh"
build_suite plain "${plain_build_args[@]}" || { status=1; plain=1; }
finish_tests || status=1
unset ASAN_OPTIONS UBSAN_OPTIONS
[ "$plain" -eq 0 ] && start_tests plain

# Runs `$2 program verdict-file` for each program given, as many at once as there are jobs, in a
# shell of its own so that its waits see only its runs. A verdict file holds "ok", or "FAILED"
# and what to show.
run_all() { # verdict folder, function, programs...
  local dir=$1 one=$2 running=0 program
  shift 2
  for program in "$@"; do
    [ -f "$program" ] && [ -x "$program" ] || continue
    "$one" "$program" "$dir/$(basename "$program")" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then wait -n || true; running=$((running - 1)); fi
  done
  wait
}
# Prints each verdict of the folder and removes it; counts them in tally_pass and tally_fail.
tally() { # verdict folder, kind, [how to run a failed one again, %s its name]
  local verdict name
  tally_pass=0 tally_fail=0
  for verdict in "$1"/*; do
    [ -e "$verdict" ] || continue
    name=$(basename "$verdict")
    if [ "$(head -n 1 "$verdict")" = "ok" ]; then
      tally_pass=$((tally_pass + 1)); echo "$2: $name ok"
    else
      # shellcheck disable=SC2059
      tally_fail=$((tally_fail + 1)); echo "$2: $name FAILED${3:+ ($(printf "$3" "$name"))}"
      tail -n +2 "$verdict"
    fi
  done
  rm -rf "$1"
}

# A short run of every fuzz target (from the sanitized build), each on one core, in the
# background while the package check and the plain tests run: those mostly wait.
fuzz_one() { # target, verdict file: one short run on a copy of the target's corpus
  local target=$1 name work
  name=$(basename "$target")
  work=$(mktemp -d)
  [ -d "$root/fuzz/corpus/${name#fuzz_}" ] && cp -r "$root/fuzz/corpus/${name#fuzz_}"/. "$work"/
  if "$target" -max_total_time="${FUZZ_SECONDS:-5}" -rss_limit_mb=2048 "$work" >"$work.log" 2>&1; then
    echo "ok" >"$2"
  else
    { echo "FAILED"; tail -n 40 "$work.log"; } >"$2"
  fi
  rm -rf "$work" "$work.log"
}
verdicts=$(mktemp -d)
fuzz_pid=""
if [ "$sanitized" -eq 0 ]; then
  run_all "$verdicts" fuzz_one "$build"/sanitized/fuzz_* &
  fuzz_pid=$!
fi

# Every plain test program once more, all its tests in one process in a shuffled order (one seed
# for the whole run): state that a test leaves behind for another shows here, where ctest's
# process per test hides it. In the background beside the plain tests, the fuzz runs and the
# package check: most of its time is spent waiting.
seed=${TELVO_SHUFFLE_SEED:-$(($(date +%s) % 99999 + 1))}
shuffle_one() { # program, verdict file
  local log="$2.log"
  if timeout 1200 "$1" --gtest_shuffle --gtest_random_seed="$seed" >"$log" 2>&1; then
    echo "ok" >"$2"
  else
    # Each failed test's own lines (from its start to its verdict), then the summary.
    { echo "FAILED"
      awk '/^\[ RUN/ {n = 0} {kept[n++] = $0} /^\[  FAILED  \] .*\([0-9]+ ms\)$/ {for (i = 0; i < n; i++) print kept[i]}' "$log" | head -n 150
      tail -n 20 "$log"; } >"$2"
  fi
  rm -f "$log"
}
shuffled=$(mktemp -d)
shuffle_pid=""
if [ "$plain" -eq 0 ]; then
  echo "=== shuffled runs of the plain test programs (seed $seed), in the background"
  run_all "$shuffled" shuffle_one "$build"/plain/tests_* &
  shuffle_pid=$!
fi

# The installed package (static and shared) as a separate project consumes it; the static one is
# the plain build's library, the very objects the plain tests ran.
if [ "$plain" -eq 0 ]; then
  TELVO_PACKAGE_STATIC_BUILD="$build/plain" bash "$root/scripts/check-package.sh" ||
    { all_failed=$((all_failed + 1)); status=1; }
fi

[ -n "$fuzz_pid" ] && { wait "$fuzz_pid" || true; }
echo "=== fuzz smoke run"
tally "$verdicts" fuzz
fuzz_pass=$tally_pass fuzz_fail=$tally_fail
[ "$fuzz_fail" -eq 0 ] || status=1
echo "fuzz: $fuzz_pass passed, $fuzz_fail failed"
if [ -n "$shuffle_pid" ]; then
  wait "$shuffle_pid" || true
  echo "=== shuffled order, one process per program (seed $seed; again: TELVO_SHUFFLE_SEED=$seed)"
  tally "$shuffled" shuffled "build/plain/%s --gtest_shuffle --gtest_random_seed=$seed"
  all_passed=$((all_passed + tally_pass)) all_failed=$((all_failed + tally_fail))
  [ "$tally_fail" -eq 0 ] || status=1
fi
finish_tests || status=1
echo "=== format check, ThreadSanitizer, sanitized and plain tests, shuffled runs, then fuzz targets"
echo "all: $((all_passed + fuzz_pass)) passed, $((all_failed + fuzz_fail)) failed"
exit $status
