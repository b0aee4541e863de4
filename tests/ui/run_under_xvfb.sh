#!/bin/sh
# Runs a window test on a virtual X display of its own: xvfb-run starts Xvfb on a free display
# number, runs the test there and stops the server afterwards.
#   run_under_xvfb.sh TEST_BINARY ARTIFACT_DIR [test arguments...]
set -eu
test_binary=$1
artifact_dir=$2
shift 2
mkdir -p "$artifact_dir"
export KARVELLO_ARTIFACT_DIR="$artifact_dir"
export QT_QPA_PLATFORM=xcb
# Under the leak checker, libdbus's lifelong buffer (see lsan.supp) is not reported.
export LSAN_OPTIONS="suppressions=$(dirname "$0")/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
exec xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" "$test_binary" "$@"
