#!/usr/bin/env bash
# Compiler launcher of the reproducible Windows build: runs the compile with every path into the source
# tree written relative to the build folder, and the debug information naming each file relative to
# the tree. The command line is recorded in the PDB, so it must not hold the folder the tree was
# cloned into. Usage: compile-relative.sh SOURCE_DIR COMMAND...
set -euo pipefail
source_dir=${1%/}
shift
relative=$(realpath --relative-to=. "$source_dir")
args=()
for arg in "$@"; do
  arg=${arg//"$source_dir/"/"$relative/"}
  # The tree itself as an include folder (-I/tree).
  [[ $arg == *"$source_dir" ]] && arg=${arg%"$source_dir"}$relative
  args+=("$arg")
done
exec "${args[@]}" "-ffile-prefix-map=$relative/="
