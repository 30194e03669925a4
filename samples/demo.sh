#!/bin/sh
# Shows annapply at work on the sample record: the stored annotations, the
# edit log, and the result, in a scratch directory that is removed afterwards.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
bin=${1:-$here/../build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$bin/annfile" load demo atr < "$here/demo.tsv"
echo "== before: annfile dump demo atr"
"$bin/annfile" dump demo atr
echo "== the edit log"
cat "$here/demo.log"
echo "== annapply < demo.log"
"$bin/annapply" < "$here/demo.log"
echo "== after: annfile dump demo atr_"
"$bin/annfile" dump demo atr_
