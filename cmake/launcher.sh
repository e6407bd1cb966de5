#!/usr/bin/env bash
# Compiler and linker launcher of the build (see CMakeLists.txt).
#   launcher.sh SOURCE_DIR BINARY_DIR COMMAND [ARGS...]
# Runs COMMAND with every path inside the source tree or the build tree made
# relative to the current folder (the build tree), macro definitions apart,
# and without the host compiler's search-path variables, which have no place
# in a cross build (clang turns LIBRARY_PATH into -L folders of the link).
# lld records its whole command line in the PDB, the .def file by absolute
# path among it, so two builds in two folders would otherwise give two
# different PDBs and, through the PDB's hash, two different binaries.
set -euo pipefail
if [ $# -lt 3 ]; then
  echo "usage: launcher.sh SOURCE_DIR BINARY_DIR COMMAND [ARGS...]" >&2
  exit 64
fi
src=$1
bin=$2
shift 2
unset LIBRARY_PATH CPATH C_INCLUDE_PATH CPLUS_INCLUDE_PATH OBJC_INCLUDE_PATH

rel_bin=$(realpath -m --relative-to="$PWD" "$bin")
rel_src=$(realpath -m --relative-to="$PWD" "$src")

# Sets REPLY to ARG with TREE/ replaced by REL/ (by nothing when REL is ".")
# and TREE at its end by REL.
relative() {
  local arg=$1 tree=$2 rel=$3
  if [ "$rel" = . ]; then
    arg=${arg//"$tree/"/}
  else
    arg=${arg//"$tree/"/"$rel/"}
  fi
  [[ $arg == *"$tree" ]] && arg="${arg%"$tree"}$rel"
  REPLY=$arg
}

# The longer tree first: the build tree often lies inside the source tree.
if [ ${#bin} -ge ${#src} ]; then
  trees=("$bin" "$rel_bin" "$src" "$rel_src")
else
  trees=("$src" "$rel_src" "$bin" "$rel_bin")
fi
args=()
for arg in "$@"; do
  if [[ $arg == -D* ]]; then
    # A macro's value is the program's business (test programs are told
    # where the build lies, as Windows paths): left as it is.
    REPLY=$arg
  else
    relative "$arg" "${trees[0]}" "${trees[1]}"
    relative "$REPLY" "${trees[2]}" "${trees[3]}"
  fi
  args+=("$REPLY")
done
exec "${args[@]}"
