#!/bin/sh
# Runs the interface benchmark in a virtual screen with Mesa's software
# renderer. Usage: bench/ui/run.sh [build folder, default build] [idle]
build=${1:-build}
shift 2>/dev/null
exec xvfb-run -a -s "-screen 0 1280x1024x24" "$build/bench/ui/ui_bench" "$@"
