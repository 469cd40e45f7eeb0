#!/usr/bin/env bash
# Resuming at full size (run by hand; not part of the tests):
#
#   bench/resume/run-full.sh [BUILD_DIR]
#
# Runs the end-to-end resume tests (InstallerResumeE2E.*, a fault server on
# loopback; InstallerKeptDownloadE2E.*, nginx on loopback) with archives of
# SKYVANE_RESUME_MB million bytes (default here 400; the tests alone use a
# few MB) and prints each case's figures: the installer's exit status, how
# long the run took, and the bytes the servers sent against the archives'
# size. The servers' cut points are fractions of the size: every connection
# cut after 1/8 of it (50 MB of 400), the two mirrors after 1/6 and 5/18, a
# range answered with the whole file after 1/3. The tests' own bounds
# decide pass or fail: a stopped run's rerun gets <= 55% of the archive from
# nginx, a mirror cutting every connection sends <= 1.1 x the archives.
# SKYVANE_RESUME_MB below 17 leaves the archives under the 16 MiB from which a
# download is kept across runs: the kept-download cases then fail.
# Needs about 5 GB under the test's temporary folder ($TMPDIR or /tmp).
# The figures of a run are kept in bench/resume/RESUME.md.
set -euo pipefail
die() { printf '\nThe benchmark stopped: %s\n' "$*" >&2; exit 1; }
[ -d "${1:-build}" ] || die "no build folder ${1:-build} (give it as the first argument)"
BUILD=$(cd "${1:-build}" && pwd)
TESTS="$BUILD/tests/installer/installer_e2e_tests"
[ -x "$TESTS" ] || die "build installer_e2e_tests in $BUILD first"
export SKYVANE_RESUME_MB=${SKYVANE_RESUME_MB:-400}
FILTER=${FILTER:-'InstallerResumeE2E.*:InstallerKeptDownloadE2E.*'}

printf 'Archives of %s MB; %s; load average %s\n' "$SKYVANE_RESUME_MB" "$(date -u '+%F %H:%M UTC')" \
  "$(cut -d' ' -f1-3 /proc/loadavg)"
OUT=$(mktemp)
trap 'rm -f "$OUT"' EXIT
START=$SECONDS
status=0
# The tests' own lines of figures and results, and the rest only on failure.
"$TESTS" --gtest_filter="$FILTER" >"$OUT" 2>&1 || status=$?
grep -E '^\[ *(figures|OK|FAILED|PASSED) *\]' "$OUT" | sed 's/^\[ figures  \] /  /'
if [ "$status" -ne 0 ]; then
  printf '\nFailures in full:\n'
  grep -E -B2 -A12 'Failure$' "$OUT" | head -200
fi
printf '\n%d s in all; test program exit %d\n' $((SECONDS - START)) "$status"
exit "$status"
