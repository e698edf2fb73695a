#!/usr/bin/env bash
# Salvages the same archives with two builds of the program and compares what each run leaves:
# the output's bytes, the log (standard output), the --report lines and the exit status, on one
# thread and on three encoder threads. For a change that must not alter behaviour (a
# restructuring, a speed-up), every line must read "same".
#
# usage: bench/compare_builds.sh OLD_BINARY NEW_BINARY [CORPUS_FOLDER]
#   Without CORPUS_FOLDER, bench/make_compare_corpus.py builds one in a scratch folder.
#   KEEP=1 keeps the runs' results (the folder is printed).
set -uo pipefail
old="$(realpath "$1")"
new="$(realpath "$2")"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
[ "${KEEP:-0}" = 1 ] && echo "results in $work" || trap 'rm -rf "$work"' EXIT
corpus="${3:-}"
if [ -z "$corpus" ]; then
    corpus="$work/corpus"
    python3 "$here/make_compare_corpus.py" "$corpus"
fi
# The runs start in a scratch folder: a corpus named relative to here would not be found there,
# and every run would fail alike (and read "same").
corpus="$(realpath "$corpus")"
passwords=()
if [ -f "$corpus/passwords" ]; then
    while read -r password; do passwords+=(-p "$password"); done <"$corpus/passwords"
fi

# Runs one build over one archive; leaves out.zip, log, report and status in folder $1.
salvage() {
    local folder="$1" binary="$2" archive="$3" threads="$4"
    mkdir -p "$folder"
    # Both builds write to the same paths, so that paths in the log are alike.
    rm -rf "$work/run"; mkdir -p "$work/run"
    (cd "$work/run" && "$binary" -y --threads "$threads" "${passwords[@]}" -o "$work/run/out.zip" \
        --report "$work/run/report" "$archive" >"$work/run/log" 2>/dev/null </dev/null)
    echo $? >"$work/run/status"
    mv "$work/run"/* "$folder"/ 2>/dev/null
}

differ=0
total=0
for archive in "$corpus"/*; do
    [ -f "$archive" ] || continue
    [ "$(basename "$archive")" = passwords ] && continue
    for threads in 1 3; do
        name="$(basename "$archive").t$threads"
        salvage "$work/old/$name" "$old" "$archive" "$threads"
        salvage "$work/new/$name" "$new" "$archive" "$threads"
        what=""
        for part in status out.zip log report; do
            if [ -e "$work/old/$name/$part" ] || [ -e "$work/new/$name/$part" ]; then
                cmp -s "$work/old/$name/$part" "$work/new/$name/$part" || what="$what $part"
            fi
        done
        total=$((total + 1))
        if [ -z "$what" ]; then
            echo "same     $name"
        else
            echo "DIFFERS  $name:$what"
            differ=$((differ + 1))
        fi
    done
done
echo "$((total - differ)) of $total runs the same"
[ "$differ" -eq 0 ]
