#!/bin/sh
# Shows annapply at work on the sample record: the stored annotations, the
# edit log, and the result, in a scratch directory that is removed afterwards.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
bin=$(cd "${1:-$here/../build}" && pwd)
PATH=$bin:$PATH
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
cp "$here/demo.log" .
# The record's annotator has its own codes: classes of heartbeats.
annfile load --codes "$here/heartbeat.codes" demo atr < "$here/demo.tsv"
echo "== the annotator's own codes: annfile codes demo atr (own rows only)"
annfile codes demo atr | grep 'own$'
echo "== before: annfile dump demo atr"
annfile dump demo atr
echo "== the edit log"
cat demo.log
echo "== annapply < demo.log"
status=0
annapply < demo.log || status=$?
# The warnings end without a line end of their own.
echo
echo "(exit status $status)"
echo "== after: annfile dump demo atr_"
annfile dump demo atr_
echo "== annfile check demo.log: what the log does, line by line"
status=0
annfile check demo.log || status=$?
echo "(exit status $status: 1 means findings)"
# A second reviewer's log of the same record: applied alone, it would
# replace the first one's result, so the two are merged instead.
cp "$here/demo-second.log" second.log
echo "== a second reviewer's log"
cat second.log
echo "== annfile check demo.log second.log: both write demo.atr_"
annfile check demo.log second.log | grep ":1: warning" || true
echo "== annfile merge demo.log second.log > merged.log: both reviewers' work, one log"
status=0
annfile merge demo.log second.log > merged.log || status=$?
echo "(exit status $status: 1 means conflicts, where the stored annotations stay)"
cat merged.log
echo "== annapply < merged.log, then annfile dump demo atr_"
annapply < merged.log
annfile dump demo atr_
