#!/bin/sh
# Runs one line of a job list written by `quovix --batch DIR --plan jobs.txt`:
# line $SLURM_ARRAY_TASK_ID, as a Slurm job array does it.
#   sbatch --array=1-$(wc -l < jobs.txt) --mem=... --tmp=... scripts/slurm-array.sh jobs.txt
set -eu
line=$(sed -n "${SLURM_ARRAY_TASK_ID:?not set: run as a Slurm array task}p" "${1:?usage: slurm-array.sh jobs.txt}")
[ -n "$line" ] || { echo "slurm-array.sh: $1 has no line $SLURM_ARRAY_TASK_ID" >&2; exit 1; }
exec sh -c "$line"
