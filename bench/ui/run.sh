#!/bin/sh
# Runs the interface frame benchmark in a virtual screen with Mesa's
# software renderer. Usage: bench/ui/run.sh [build folder, default build]
build=${1:-build}
exec xvfb-run -a -s "-screen 0 1280x1024x24" "$build/bench/ui/ui_bench"
