#!/usr/bin/env bash
# Builds the Debian package from a build tree, checks its metadata and files,
# installs it with dpkg into a throw-away root that has a package database of
# its own, starts the program installed there on $DISPLAY and removes the
# package again. The machine's own packages are never touched, so any user
# may run it, also where harnelo is installed.
# Usage: test-package.sh BUILD_DIR VERSION
# Exits 77 (skipped) without a display or a tool it needs.
set -euo pipefail

build_dir=$1
version=$2
window_title='^Harnelo     V1\.0$'
skipped=77

skip() { echo "SKIPPED: $*"; exit "$skipped"; }
fail() { echo "FAILED: $*" >&2; exit 1; }

[ -n "${DISPLAY:-}" ] || skip "needs an X display (DISPLAY) to start the installed program"
for tool in cpack dpkg dpkg-deb dpkg-query dpkg-shlibdeps apt-get desktop-file-validate xdotool file; do
    command -v "$tool" >/dev/null || skip "$tool is missing (scripts/install-deps test installs it)"
done

work=$(mktemp -d)
root=$work/root
program_pid=""

cleanup() {
    if [ -n "$program_pid" ] && kill -0 "$program_pid" 2>/dev/null; then
        kill -KILL "$program_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# dpkg acting on the throw-away root only. It wants ldconfig and
# start-stop-daemon on the PATH, which an ordinary user's PATH may lack.
dpkg_in_root() {
    PATH="$PATH:/usr/sbin:/sbin" dpkg --root="$root" --force-not-root --log=/dev/null "$@"
}

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
    for needed in libqt6core6 libqt6gui6 libqt6widgets6 libqt6serialport6 libx11-6 libxtst6 libxrandr2 libevdev2 qt6-qpa-plugins; do
        grep -Eq "(^|, )$needed( |,|$)" <<<"$depends" || fail "Depends does not name $needed: $depends"
    done
    # A throw-away root cannot run maintainer scripts as an ordinary user.
    local script
    for script in preinst postinst prerm postrm; do
        if dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep -qx "./$script"; then
            fail "the package has a $script script, which this test cannot run"
        fi
    done
}

# Resolved against this machine's packages and archives; nothing is installed.
check_dependencies() {
    apt-get install --simulate -q --no-install-recommends -o Debug::NoLocking=1 "$deb" \
        >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt-get cannot satisfy the package's dependencies"; }
    echo "apt-get can satisfy the dependencies"
}

check_file_list() {
    dpkg-deb -c "$deb" | awk '{print $NF}' >"$work/contents"
    local path
    for path in ./usr/bin/harnelo ./usr/share/applications/harnelo.desktop \
                ./usr/share/icons/hicolor/64x64/apps/harnelo.png ./usr/share/doc/harnelo/docs/protocol.md \
                ./usr/share/metainfo/io.github.harnelo.Harnelo.metainfo.xml \
                ./usr/lib/udev/rules.d/70-harnelo-uinput.rules ./usr/lib/modules-load.d/harnelo-uinput.conf; do
        grep -qxF "$path" "$work/contents" || fail "the package lacks $path"
    done
}

# The root's database lists no other package; apt-get has checked the
# dependencies against this machine's instead.
install_package() {
    mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
    : >"$root/var/lib/dpkg/status"
    dpkg_in_root --force-depends --install "$deb" >"$work/install.log" 2>&1 \
        || { cat "$work/install.log"; fail "dpkg could not install the package"; }
    dpkg-query --admindir="$root/var/lib/dpkg" -W -f='${Status}' harnelo | grep -qx 'install ok installed' \
        || fail "dpkg does not list harnelo as installed"
    [ -x "$root/usr/bin/harnelo" ] || fail "/usr/bin/harnelo is not installed"
    [ -f "$root/usr/share/applications/harnelo.desktop" ] || fail "the desktop entry is not installed"
    [ -f "$root/usr/share/icons/hicolor/64x64/apps/harnelo.png" ] || fail "the icon is not installed"
    [ -f "$root/usr/share/doc/harnelo/docs/protocol.md" ] || fail "the protocol guide is not installed"
    [ -f "$root/usr/share/metainfo/io.github.harnelo.Harnelo.metainfo.xml" ] || fail "the AppStream metainfo is not installed"
}

# The launcher must name the program and the icon the package really installs.
check_desktop_entry() {
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

# Only what the package brought and the system's libraries may be used: no
# build tree, no plugin paths. Its settings stay in the throw-away folder.
start_installed_program() {
    (cd "$work" && exec env -u LD_LIBRARY_PATH -u QT_PLUGIN_PATH -u QT_QPA_PLATFORM_PLUGIN_PATH \
        XDG_CONFIG_HOME="$work/config" "$root/usr/bin/harnelo" >"$work/program.log" 2>&1) &
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
    dpkg_in_root --purge harnelo >"$work/remove.log" 2>&1 || { cat "$work/remove.log"; fail "dpkg could not remove harnelo"; }
    local left
    left=$(find "$root" -mindepth 1 -path "$root/var/lib/dpkg" -prune \
               -o -not -path "$root/var" -not -path "$root/var/lib" -print)
    [ -z "$left" ] || fail "removing harnelo left behind: $left"
}

build_package
check_metadata
check_dependencies
check_file_list
install_package
check_desktop_entry
start_installed_program
stop_program
remove_package
echo "package built, installed into a throw-away root, started, stopped and removed"
