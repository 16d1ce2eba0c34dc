#!/usr/bin/env bash
# Builds the shipped detection models under data/models/ from a corpus made
# on this machine: benign files of the installed packages, and generated
# harmless stand-ins for the malicious class (tools/make_standins.py).
#
#   tools/make_models.sh [BUILD_DIR] [WORK_DIR]
#
# BUILD_DIR (default build) must be configured; model-trainer and the program
# are built there. WORK_DIR (default /tmp/kav-model-corpus) receives the
# corpus, the file lists, the feature files and the evaluation figures
# (WORK_DIR/eval.txt). Set SKIP_INSTALL=1 to use the packages already present.
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$src/build}
work=${2:-/tmp/kav-model-corpus}
models=$src/data/models
jobs=${JOBS:-2}

if [[ -z "${SKIP_INSTALL:-}" && $(id -u) -eq 0 ]]; then
  missing=()
  while read -r p; do
    [[ -z "$p" || "$p" == \#* ]] && continue
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done < "$src/tools/model-corpus-packages.txt"
  if ((${#missing[@]})); then
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
  fi
fi

cmake --build "$build" -j"$jobs" --target model-trainer keltharon-antivirus
trainer=$build/tools/model-trainer

rm -rf "$work/generated"
mkdir -p "$work"
python3 "$src/tools/make_standins.py" "$work/generated" --jobs "$jobs"
python3 "$src/tools/corpus_lists.py" "$work/generated" "$work" | tee "$work/corpus.txt"

# The held-out benign files of the system, for the shipped-models test.
{
  echo "# Benign files of this machine's packages that the shipped models never saw in training"
  echo "# (written by tools/make_models.sh; read by tests/tools/shipped_models_test.cpp)."
  grep '^0 /' "$work/holdout.list" | grep -v "^0 $work/" | cut -c3- | sort
} > "$src/tools/model-holdout-benign.list"

"$trainer" extract --list "$work/train.list" --out "$work/train.feat" | tee -a "$work/corpus.txt"
"$trainer" extract --list "$work/holdout.list" --out "$work/holdout.feat" | tee -a "$work/corpus.txt"

# One model per file kind, and a general one over every kind (it serves the
# kinds without a model of their own: .NET assemblies and Android packages).
declare -A kinds=([win32]=Win32 [win64]=Win64 [elf]=ELF [pdf]=PDF [general]=all)
mkdir -p "$models"
rm -f "$models"/*.avm "$models"/*.txt "$models"/*.model
: > "$work/train.txt"
for stem in elf general pdf win32 win64; do
  "$trainer" train --features "$work/train.feat" --kind "${kinds[$stem]}" --name "$stem" \
    --avm "$models/$stem.avm" --text "$work/$stem.txt" | tee -a "$work/train.txt"
done

{
  echo "# held-out figures at the default threshold 0.8 (and the suspicious threshold 0.55)"
  for stem in elf general pdf win32 win64; do
    for t in 0.8 0.55; do
      show=(); [[ $t == 0.8 ]] && show=(--show)
      "$trainer" eval --features "$work/holdout.feat" --kind "${kinds[$stem]}" --model "$models/$stem.avm" --threshold $t "${show[@]}"
    done
  done
  # The shipped set as a scan uses it: each file scored by the model of its kind.
  echo "# the shipped set over the held-out files"
  for t in 0.8 0.55; do
    "$trainer" eval-set --models "$models" --list "$work/holdout.list" --threshold $t
  done
} | tee "$work/eval.txt"
ls -l "$models"
