#!/usr/bin/env bash
# The demo: index a folder of notes with the command line, then search it by
# keywords, by a quoted phrase and with a question in plain words.
#   tools/demo.sh examples/notes     (make demo)
#   tools/demo.sh ../shared/corpus   (make demo-corpus)
set -euo pipefail
notes=${1:?usage: tools/demo.sh NOTES_DIR}
index=build/demo-index-$(basename "$notes")
if [ "$(basename "$notes")" = corpus ]; then
  queries=("CWnd OnDrawItem" '"move constructor" rvalue' "how do I stop the compiler from warning about an unused variable")
else
  queries=("rebase reflog" '"stretch and folds" dough' "what do I do when a pod keeps restarting")
fi

run() {
  printf '\n$'
  for a in "$@"; do case $a in *[[:space:]\"]*) printf " '%s'" "$a" ;; *) printf ' %s' "$a" ;; esac; done
  printf '\n'
  "$@"
}
run tessavine index "$notes" --index "$index"
run tessavine info --index "$index"
run tessavine search "${queries[0]}" --index "$index" --mode keyword -k 3
run tessavine search "${queries[1]}" --index "$index" -k 3
run tessavine search "${queries[2]}" --index "$index" -k 3
