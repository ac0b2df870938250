#!/usr/bin/env bash
# The kov-sr command line on a small CSV file.  Run with:  bash examples/cli_example.sh
set -euo pipefail
kov_sr=${KOV_SR:-kov-sr}
workdir=$(mktemp -d)
trap 'rm -rf "$workdir"' EXIT

cat > "$workdir/pendulum.csv" <<'CSV'
length,period
0.25,1.0035
0.5,1.4192
1.0,2.0071
2.0,2.8384
4.0,4.0141
CSV

# The best formula for the last column, with the column names; progress lines go to stderr.
$kov_sr fit "$workdir/pendulum.csv" --max-complexity 5 --beam-width 200 --quiet

# Every formula more accurate than all simpler ones.
$kov_sr fit "$workdir/pendulum.csv" --target period --candidates --max-complexity 5 --beam-width 200 -q

# Closed forms for numbers.
$kov_sr constant 3.14159265358979 1.4142135623730951 --max-complexity 6 --beam-width 200 -q
