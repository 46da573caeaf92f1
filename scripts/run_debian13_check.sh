#!/usr/bin/env bash
# Shell, because it makes and enters a Debian tree before any Python exists
# there; run it as `nox -s debian13`.
# The README's two commands on Debian 13: clones the committed tree into a
# Debian 13 tree from the tree cache (see scripts/debian_tree.sh), where the
# clone has nothing beside it, and runs scripts/run_tour.sh and
# scripts/run_tests.sh there as root, as a new user of that release would.
# The tree keeps what setup installed, so a later run is quicker; with
# --fresh, the commands run in a copy of the bare tree instead, made anew.
# Exits non-zero when either command fails.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/debian_tree.sh
source "$root/scripts/debian_tree.sh"

name=debian13
if [[ "${1:-}" == --fresh ]]; then
  bare=$(tree_make debian13-bare trixie) || exit 1
  name=debian13-fresh
  tree_remove "${tree_cache:?}/$name"
  cp -a "$bare" "$tree_cache/$name"
fi
start=$SECONDS
tree=$(tree_make "$name" trixie) || { echo "debian13: the tree could not be made"; exit 1; }
trap tree_unmount EXIT
tree_mount "$tree" || { echo "debian13: mounting failed"; exit 1; }
echo "== debian13: $(cat "$tree/etc/debian_version"), a clean clone of $(git -C "$root" rev-parse --short HEAD)"
rm -rf "$tree/root/tavolin"
git clone -q --no-hardlinks "$root" "$tree/root/tavolin" || exit 1
status=0
for command in run_tour.sh run_tests.sh; do
  echo "== debian13: ./scripts/$command"
  tree_run "$tree" bash -c "cd /root/tavolin && ./scripts/$command" || { status=1; echo "!! debian13: $command failed"; }
done
echo "== debian13 done ($((SECONDS - start)) s): $([[ $status == 0 ]] && echo both commands passed || echo FAILED)"
exit $status
