#!/usr/bin/env bash
# Backs up one real tree with qnst-backup, borg and restic and prints, for the first backup, the
# unchanged second backup and the restore of the latest version, each tool's time (the best of
# --runs runs) and the ratio of the faster peer's time to ours (above 1: ours is faster).
#
# The tree is Debian's documentation and C headers (/usr/share/doc and /usr/include) copied into
# one temporary tree, so that the three tools read the same bytes from a warm cache. The peers
# run without compression and without encryption where they can: borg with `init -e none` and
# `create --compression none`; restic 0.14 always encrypts (a fixed password through
# RESTIC_PASSWORD) and has no compression. Stores, caches and trees live in a temporary
# directory removed at the end.
#
#   bench/backup_bench.sh [--runs N] [--source DIR]...
#
# The tool is built in $QNST_BUILD_DIR (default build/release) when it is missing; borgbackup and
# restic are installed with apt-get when missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=3
sources=()
while [[ $# -gt 0 ]]; do
    case $1 in
        --runs) runs=$2; shift 2 ;;
        --source) sources+=("$2"); shift 2 ;;
        -h|--help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "backup_bench: unknown argument $1" >&2; exit 2 ;;
    esac
done
[[ ${#sources[@]} -gt 0 ]] || sources=(/usr/share/doc /usr/include)

missing=()
command -v borg >/dev/null 2>&1 || missing+=(borgbackup)
command -v restic >/dev/null 2>&1 || missing+=(restic)
if [[ ${#missing[@]} -gt 0 ]]; then
    echo "backup_bench: installing ${missing[*]}" >&2
    apt-get update -qq >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/backup_bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
src=$work/src
mkdir -p "$src"
for s in "${sources[@]}"; do
    cp -a "$s" "$src/$(basename "$s")"
done
files=$(find "$src" -type f | wc -l)
bytes=$(du -sb "$src" | cut -f1)
echo "tree: ${sources[*]}: $files files, $((bytes / 1000000)) MB"
find "$src" -type f -exec cat {} + >/dev/null    # warm cache: every tool reads from memory

ours() { QNST_BUILD_DIR=${QNST_BUILD_DIR:-$root/build/release} "$root/scripts/qnst-backup" "$@"; }
ours --help >/dev/null               # builds the tool when it is missing, outside of the timing

export BORG_UNKNOWN_UNENCRYPTED_REPO_ACCESS_IS_OK=yes BORG_RELOCATED_REPO_ACCESS_IS_OK=yes
export BORG_BASE_DIR=$work/borg-base RESTIC_PASSWORD=backup-bench
restic_() { restic --cache-dir "$work/restic-cache" --repo "$work/restic" "$@"; }

# Seconds taken by the command; its output goes to $work/last.log, shown when it fails.
timed() {
    local start end
    start=$(date +%s%N)
    if ! "$@" >"$work/last.log" 2>&1; then
        echo "backup_bench: failed: $*" >&2
        tail -5 "$work/last.log" >&2
        exit 1
    fi
    end=$(date +%s%N)
    echo $(((end - start) / 1000000))
}

declare -A best
keep() {        # keep TOOL LINE MILLISECONDS: the smallest time of the runs
    local k="$1 $2"
    if [[ -z ${best[$k]:-} || $3 -lt ${best[$k]} ]]; then best[$k]=$3; fi
}

for ((run = 1; run <= runs; run++)); do
    rm -rf "$work/ours" "$work/borg" "$work/borg-base" "$work/restic" "$work/restic-cache"
    keep ours first "$(timed ours --store "$work/ours" backup "$src")"
    keep ours second "$(timed ours --store "$work/ours" backup "$src")"
    rm -rf "$work/out"
    keep ours restore "$(timed ours --store "$work/ours" restore 2 "$work/out")"

    borg init -e none "$work/borg" >/dev/null
    keep borg first "$(timed borg create --compression none "$work/borg::one" "$src")"
    keep borg second "$(timed borg create --compression none "$work/borg::two" "$src")"
    rm -rf "$work/out" && mkdir "$work/out"
    keep borg restore "$(cd "$work/out" && timed borg extract "$work/borg::two")"

    restic_ init >/dev/null
    keep restic first "$(timed restic_ backup "$src")"
    keep restic second "$(timed restic_ backup "$src")"
    rm -rf "$work/out"
    keep restic restore "$(timed restic_ restore latest --target "$work/out")"
    echo "run $run of $runs done" >&2
done

secs() { printf '%d.%03d' $(($1 / 1000)) $(($1 % 1000)); }
echo "best of $runs runs, seconds; ratio = the faster peer's time / ours"
for line in first second restore; do
    o=${best[ours $line]} b=${best[borg $line]} r=${best[restic $line]}
    peer=$((b < r ? b : r))
    case $line in
        first) label="first backup      " ;;
        second) label="unchanged backup  " ;;
        restore) label="restore (latest)  " ;;
    esac
    printf '%s ours %7s  borg %7s  restic %7s  ratio %5s\n' "$label" "$(secs "$o")" "$(secs "$b")" \
        "$(secs "$r")" "$(python3 -c "print('%.2f' % ($peer / max($o, 1)))")"
done
