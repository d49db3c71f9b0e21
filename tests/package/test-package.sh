#!/usr/bin/env bash
# Builds the Debian package from a build tree, checks its metadata and files,
# installs it, starts the installed program on $DISPLAY and removes the
# package again, so the machine is left as it was.
# Usage: test-package.sh BUILD_DIR VERSION
# Exits 77 (skipped) where packages cannot be installed.
set -euo pipefail

build_dir=$1
version=$2
window_title='^Harnelo     V1\.0$'
skipped=77

skip() { echo "SKIPPED: $*"; exit "$skipped"; }
fail() { echo "FAILED: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || skip "installing a package needs root; run as root to test it"
[ -n "${DISPLAY:-}" ] || skip "needs an X display (DISPLAY) to start the installed program"
for tool in cpack dpkg-deb dpkg-shlibdeps apt-get desktop-file-validate xdotool file flock; do
    command -v "$tool" >/dev/null || skip "$tool is missing (scripts/install-deps test installs it)"
done

# Two suites running at once on one machine would install and remove the
# same package under each other.
exec 9>/run/lock/harnelo-package-test.lock
flock -w 300 9 || fail "another package test held the lock for 5 minutes"

if dpkg-query -W -f='${Status}' harnelo 2>/dev/null | grep -q 'ok installed'; then
    skip "a harnelo package is already installed here; not replacing it"
fi

work=$(mktemp -d)
chmod 755 "$work" # apt fetches local packages as its own unprivileged user
program_pid=""
installed=no

cleanup() {
    if [ -n "$program_pid" ] && kill -0 "$program_pid" 2>/dev/null; then
        kill -KILL "$program_pid" 2>/dev/null || true
    fi
    if [ "$installed" = yes ]; then
        dpkg --purge harnelo >/dev/null 2>&1 || echo "could not remove harnelo: run dpkg --purge harnelo" >&2
    fi
    rm -rf "$work"
}
trap cleanup EXIT

build_package() {
    (cd "$build_dir" && cpack --config CPackConfig.cmake -G DEB -B "$work") >"$work/cpack.log" 2>&1 \
        || { cat "$work/cpack.log"; fail "cpack could not build the package"; }
    shopt -s nullglob
    local debs=("$work"/harnelo_*.deb)
    shopt -u nullglob
    [ ${#debs[@]} -eq 1 ] || fail "expected one harnelo_*.deb, found ${#debs[@]}"
    deb=${debs[0]}
    echo "built $(basename "$deb")"
}

check_metadata() {
    dpkg-deb -I "$deb"
    [ "$(dpkg-deb -f "$deb" Package)" = harnelo ] || fail "package name is not harnelo"
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version is not $version"
    local depends
    depends=$(dpkg-deb -f "$deb" Depends)
    local needed
    for needed in libqt6core6 libqt6gui6 libqt6widgets6 libqt6serialport6 libx11-6 libxtst6 qt6-qpa-plugins; do
        grep -Eq "(^|, )$needed( |,|$)" <<<"$depends" || fail "Depends does not name $needed: $depends"
    done
}

check_file_list() {
    dpkg-deb -c "$deb" | awk '{print $NF}' >"$work/contents"
    local path
    for path in ./usr/bin/harnelo ./usr/share/applications/harnelo.desktop \
                ./usr/share/icons/hicolor/64x64/apps/harnelo.png ./usr/share/doc/harnelo/docs/protocol.md \
                ./usr/share/metainfo/io.github.harnelo.Harnelo.metainfo.xml; do
        grep -qxF "$path" "$work/contents" || fail "the package lacks $path"
    done
}

# The launcher must name the program and the icon the package really installs.
check_desktop_entry() {
    local root=$work/root
    dpkg-deb -x "$deb" "$root"
    local entry=$root/usr/share/applications/harnelo.desktop
    local report
    report=$(desktop-file-validate "$entry" 2>&1) || { echo "$report"; fail "desktop-file-validate rejects the entry"; }
    if grep -Ei 'error|warning' <<<"$report"; then
        fail "desktop-file-validate complains about the entry"
    fi
    echo "desktop-file-validate: ${report:-no complaints}"
    grep -qx 'Exec=harnelo' "$entry" || fail "the entry does not start harnelo"
    grep -qx 'Icon=harnelo' "$entry" || fail "the entry does not name the harnelo icon"
    local icon size
    for icon in "$root"/usr/share/icons/hicolor/*/apps/harnelo.png; do
        size=$(basename "$(dirname "$(dirname "$icon")")")
        file "$icon" | grep -q "PNG image data, ${size/x/ x }," || fail "$icon is not a $size PNG: $(file -b "$icon")"
    done
}

install_package() {
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        -o DPkg::Lock::Timeout=120 "$deb" >"$work/apt.log" 2>&1 \
        || { cat "$work/apt.log"; fail "apt-get could not install the package"; }
    installed=yes
    dpkg-query -W -f='${Status}' harnelo | grep -q 'install ok installed' || fail "dpkg does not list harnelo as installed"
    [ -x /usr/bin/harnelo ] || fail "/usr/bin/harnelo is not installed"
    [ -f /usr/share/applications/harnelo.desktop ] || fail "the desktop entry is not installed"
    [ -f /usr/share/icons/hicolor/64x64/apps/harnelo.png ] || fail "the icon is not installed"
}

# Only what the package brought may be used: no build tree, no plugin paths.
start_installed_program() {
    (cd "$work" && exec env -u LD_LIBRARY_PATH -u QT_PLUGIN_PATH -u QT_QPA_PLATFORM_PLUGIN_PATH \
        /usr/bin/harnelo >"$work/program.log" 2>&1) &
    program_pid=$!
    local tries
    for tries in $(seq 100); do
        if ! kill -0 "$program_pid" 2>/dev/null; then
            cat "$work/program.log"
            fail "the installed program exited before showing its window"
        fi
        if xdotool search --all --pid "$program_pid" --name "$window_title" >/dev/null 2>&1; then
            echo "window \"Harnelo     V1.0\" is up after $((tries / 5)).$((tries % 5 * 2)) s"
            return
        fi
        sleep 0.2
    done
    cat "$work/program.log"
    fail "no window titled \"Harnelo     V1.0\" appeared within 20 s"
}

stop_program() {
    kill -TERM "$program_pid"
    local tries
    for tries in $(seq 50); do
        kill -0 "$program_pid" 2>/dev/null || break
        sleep 0.2
    done
    kill -0 "$program_pid" 2>/dev/null && fail "the program did not exit within 10 s of SIGTERM"
    local status=0
    wait "$program_pid" || status=$?
    program_pid=""
    [ "$status" -eq 0 ] || { cat "$work/program.log"; fail "the program exited with $status on SIGTERM"; }
}

remove_package() {
    dpkg --purge harnelo >"$work/remove.log" 2>&1 || { cat "$work/remove.log"; fail "dpkg could not remove harnelo"; }
    installed=no
    [ ! -e /usr/bin/harnelo ] || fail "/usr/bin/harnelo is left behind"
    [ ! -e /usr/share/applications/harnelo.desktop ] || fail "the desktop entry is left behind"
}

build_package
check_metadata
check_file_list
check_desktop_entry
install_package
start_installed_program
stop_program
remove_package
echo "package built, installed, started, stopped and removed"
