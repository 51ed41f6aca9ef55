# shellcheck shell=bash
# Sourced by the benchmarks that start Kelvane: the same Wine as the tests (emulated where the
# kernel runs 64-bit code only), a prefix and display of their own, the simulated receiver's DLLs.
. scripts/emu/enable
build=$PWD/${KELVANE_BUILD_DIR:-build}
bin=$build/win32/bin
session=$build/bench-wine
scripts/wine-session start "$session"
trap 'scripts/wine-session stop "$session"' EXIT
export WINEPREFIX=$session/prefix WINEDEBUG=-all DISPLAY=$(cat "$session/display")
. scripts/wine-env "hid,setupapi=n,b"
