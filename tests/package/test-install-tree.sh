#!/usr/bin/env bash
# Installs a build into a throw-away prefix, as the package does, and checks
# that every relative link in the guides leads to a file (in the source tree
# and installed), that the Arduino library arrives whole, and that AppStream
# accepts the metainfo with the desktop entry it names.
# Usage: test-install-tree.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
source_dir=$1
build_dir=$2
fail() { echo "FAILED: $*" >&2; exit 1; }

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cmake --install "$build_dir" --prefix "$stage/usr" >"$stage/install.log" 2>&1 \
    || { cat "$stage/install.log"; fail "cmake --install failed"; }
doc=$stage/usr/share/doc/harnelo

# Links to web pages and within the page are left alone.
check_links() {
    local file=$1 target checked=0
    while IFS= read -r target; do
        target=${target%%#*}
        case $target in "" | *://* | mailto:*) continue ;; esac
        [ -e "$(dirname "$file")/$target" ] || fail "$file links to $target, which is not there"
        checked=$((checked + 1))
    done < <(grep -oE '\]\([^)]+\)' "$file" | sed -E 's/^\]\((.*)\)$/\1/')
    [ "$checked" -gt 0 ] || fail "found no links to check in $file"
    echo "$file: $checked links lead to files"
}
for guide in README.md docs/protocol.md; do
    check_links "$source_dir/$guide"
    check_links "$doc/$guide"
done

diff -r "$source_dir/firmware/Harnelo" "$doc/firmware/Harnelo" \
    || fail "the installed Arduino library differs from firmware/Harnelo"
command -v appstreamcli >/dev/null || fail "appstreamcli is missing (scripts/install-deps test installs it)"
appstreamcli validate-tree --no-net --strict "$stage" \
    || fail "appstreamcli rejects the installed metainfo or its desktop entry"
