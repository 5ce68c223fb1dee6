#!/usr/bin/env bash
# Rebuilds the example circuits (.asc) from examples/blinky with the open iCE40 toolchain.
# The placer seed is fixed so that the same tool versions give the same files.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
design="$here/blinky"
seed=1
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

for tool in yosys nextpnr-ice40 icepack; do
  command -v "$tool" >/dev/null || { echo "missing $tool (Debian: yosys nextpnr-ice40 fpga-icestorm)" >&2; exit 1; }
done

# name  device  package  pcf                 LED count
boards=(
  "hx1k   hx1k    tq144    icestick.pcf        5"
  "hx8k   hx8k    ct256    hx8k_breakout.pcf   8"
)

for board in "${boards[@]}"; do
  read -r name device package pcf leds <<<"$board"
  netlist="$work/blinky_$name.json"
  asc="$here/blinky_$name.asc"
  echo "== blinky_$name: synthesis"
  yosys -q -l "$work/yosys_$name.log" \
    -p "read_verilog $design/blinky.v; chparam -set LEDS $leds blinky; synth_ice40 -top blinky -json $netlist"
  echo "== blinky_$name: place and route ($device $package, seed $seed)"
  nextpnr-ice40 -q --"$device" --package "$package" --seed "$seed" \
    --pcf "$design/$pcf" --json "$netlist" --asc "$asc" --log "$work/nextpnr_$name.log"
  icepack "$asc" "$work/blinky_$name.bin"
  echo "   $(basename "$asc"): $(stat -c %s "$asc") bytes," \
       "$(grep -c '^\.logic_tile' "$asc") logic tiles;" \
       "packed: $(stat -c %s "$work/blinky_$name.bin") bytes"
done
