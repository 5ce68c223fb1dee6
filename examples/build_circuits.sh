#!/usr/bin/env bash
# Rebuilds the example circuits (.asc) with the open iCE40 toolchain: blinky from
# examples/blinky into examples/ (the module's tests read them), the evolution seeds from
# python/gridflip_evolution/seeds/lut_network.v into that folder (package data). Name designs to
# rebuild only those (build_circuits.sh lut_network). The placer seed is fixed so that the same
# tool versions give the same files.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
seeds="$(cd "$here/../python/gridflip_evolution/seeds" && pwd)"
seed=1
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

for tool in yosys nextpnr-ice40 icepack; do
  command -v "$tool" >/dev/null || { echo "missing $tool (Debian: yosys nextpnr-ice40 fpga-icestorm)" >&2; exit 1; }
done

# design       device  package  sources and output     pcf                      parameters
builds=(
  "blinky       hx1k    tq144    $here/blinky           icestick.pcf             LEDS=5"
  "blinky       hx8k    ct256    $here/blinky           hx8k_breakout.pcf        LEDS=8"
  "lut_network  hx1k    tq144    $seeds                 lut_network_hx1k.pcf     -"
  "lut_network  hx8k    ct256    $seeds                 lut_network_hx8k.pcf     -"
)

for build in "${builds[@]}"; do
  read -r design device package folder pcf parameters <<<"$build"
  if [ "$#" -gt 0 ] && [[ " $* " != *" $design "* ]]; then
    continue
  fi
  name="${design}_$device"
  netlist="$work/$name.json"
  # blinky's circuits sit beside its folder; the seeds beside their source
  if [ "$design" = blinky ]; then asc="$here/$name.asc"; else asc="$folder/$name.asc"; fi
  chparam=""
  [ "$parameters" = - ] || chparam="chparam -set ${parameters%%=*} ${parameters#*=} $design;"
  echo "== $name: synthesis"
  yosys -q -l "$work/yosys_$name.log" \
    -p "read_verilog $folder/$design.v; $chparam synth_ice40 -top $design -json $netlist"
  echo "== $name: place and route ($device $package, seed $seed)"
  nextpnr-ice40 -q --"$device" --package "$package" --seed "$seed" \
    --pcf "$folder/$pcf" --json "$netlist" --asc "$asc" --log "$work/nextpnr_$name.log"
  icepack "$asc" "$work/$name.bin"
  echo "   $(basename "$asc"): $(stat -c %s "$asc") bytes," \
       "$(grep -c '^\.logic_tile' "$asc") logic tiles;" \
       "packed: $(stat -c %s "$work/$name.bin") bytes"
done
