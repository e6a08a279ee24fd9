#!/usr/bin/env bash
# Tambrel as the desktop sees it once installed, checked with the desktop's own tools,
# never by installing anything on this machine.
#   install_test.sh staged BUILD APP_ID   `cmake --install` into a staging folder (/usr)
#   install_test.sh package BUILD APP_ID  the Debian package: its fields and contents, then
#                                         the same checks on its extracted tree
set -euo pipefail
mode=$1
build=$(cd "$2" && pwd)
id=$3

work=$(mktemp -d /tmp/tambrel-install.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() {
    echo "install_test ($mode): $*" >&2
    exit 1
}

# The files, validated; the programs run from the tree, away from the build.
check_tree() {
    local usr=$1
    local share=$usr/share
    for file in bin/tambrel bin/tambrel-pattern "share/applications/$id.desktop" \
        "share/metainfo/$id.metainfo.xml" "share/mime/packages/$id.xml" \
        "share/icons/hicolor/scalable/apps/$id.svg" share/man/man1/tambrel.1.gz \
        share/man/man1/tambrel-pattern.1.gz; do
        [ -f "$usr/$file" ] || fail "$file is missing"
    done
    for size in 48 128 256; do
        file "$share/icons/hicolor/${size}x${size}/apps/$id.png" |
            grep -q "PNG image data, $size x $size" || fail "no ${size}px icon"
    done

    desktop-file-validate "$share/applications/$id.desktop" || fail "desktop entry"
    appstreamcli validate --no-net "$share/metainfo/$id.metainfo.xml" >"$work/appstream.log" ||
        fail "metainfo: $(cat "$work/appstream.log")"
    grep -qx 'Exec=tambrel %f' "$share/applications/$id.desktop" || fail "Exec= line"
    grep -qx "Icon=$id" "$share/applications/$id.desktop" || fail "Icon= line"

    # The programs need nothing from the checkout or the build.
    if readelf -d "$usr/bin/tambrel" | grep -Eq 'R(UN)?PATH'; then
        fail "tambrel carries a library path"
    fi
    local about version program
    about=$(cd / && env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb \
        "$usr/bin/tambrel" --version) || fail "tambrel --version without a display"
    version=${about%%$'\n'*}
    [[ $version =~ ^tambrel\ [0-9]+(\.[0-9]+)+$ ]] || fail "version line: $version"
    for program in tambrel tambrel-pattern; do
        [ "$program" = tambrel ] || about=$("$usr/bin/$program" --version)
        [[ $about == *$'\nLicense GPL-3.0-or-later: '* ]] || fail "$program --version: $about"
        # Output that could not be written is a failure, not a silent success.
        if QT_QPA_PLATFORM=offscreen "$usr/bin/$program" --version >/dev/full 2>/dev/null; then
            fail "$program --version to a full disk exited 0"
        fi
    done
    grep -q "<release version=\"${version#tambrel }\"" "$share/metainfo/$id.metainfo.xml" ||
        fail "the metainfo has no release $version"
    env -u DISPLAY QT_QPA_PLATFORM=xcb "$usr/bin/tambrel" --help | grep -q '^Usage: tambrel ' ||
        fail "tambrel --help"
    local status=0
    "$usr/bin/tambrel" --no-such-option >/dev/null 2>"$work/err" || status=$?
    [ "$status" -eq 2 ] && [ "$(wc -l <"$work/err")" -eq 1 ] ||
        fail "unknown option: status $status, $(cat "$work/err")"
    "$usr/bin/tambrel-pattern" presets | grep -q '^Rock Rhythms/' || fail "tambrel-pattern"

    # A pattern file is our type, and our entry opens it (what a double-click asks).
    cp -r "$share/mime" "$share/applications" "$work/"
    update-mime-database "$work/mime"
    update-desktop-database "$work/applications"
    printf '4/4\r\n120\r\n' >"$work/song.qel"
    local desktop=(env XDG_DATA_DIRS="$work" XDG_DATA_HOME="$work/none"
        XDG_CONFIG_HOME="$work/none" XDG_CURRENT_DESKTOP=GNOME)
    [ "$("${desktop[@]}" xdg-mime query filetype "$work/song.qel")" = application/x-tambrel-pattern ] ||
        fail "song.qel is not a Tambrel pattern"
    [ "$("${desktop[@]}" xdg-mime query default application/x-tambrel-pattern)" = "$id.desktop" ] ||
        fail "no default application for patterns"
    grep -q '<comment>Tambrel drum pattern</comment>' "$work/mime/application/x-tambrel-pattern.xml" ||
        fail "MIME comment"

    local page
    for page in tambrel tambrel-pattern; do
        LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l \
            "$share/man/man1/$page.1.gz" 2>"$work/man.log" >/dev/null
        [ ! -s "$work/man.log" ] || fail "man page $page: $(cat "$work/man.log")"
    done
}

case $mode in
staged)
    DESTDIR="$work/stage" cmake --install "$build" --prefix /usr >/dev/null
    check_tree "$work/stage/usr"
    ;;
package)
    cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/deb" >/dev/null 2>&1 ||
        fail "cpack failed"
    deb=$(echo "$work"/deb/tambrel_*.deb)
    [ -f "$deb" ] || fail "no tambrel_*.deb"
    dpkg-deb --info "$deb" >"$work/info"
    depends=$(dpkg-deb --field "$deb" Depends)
    for wanted in 'timgm6mb-soundfont | sf2-soundfont-gm' fonts-dejavu-extra libqt6widgets6 \
        libfluidsynth3 librtmidi6 libc6; do
        [[ $depends == *"$wanted"* ]] || fail "Depends lacks $wanted: $depends"
    done
    [ "$(dpkg-deb --field "$deb" Package)" = tambrel ] || fail "package name"
    # Only the programs and the desktop's files, all under /usr.
    dpkg-deb --contents "$deb" | awk '{print $6}' >"$work/contents"
    grep -v '^\./usr/' "$work/contents" && fail "files outside /usr"
    grep -E 'test|bench|\.a$|\.h$' "$work/contents" && fail "build or test files in the package"
    # Debian's own checker: not one error or warning (informational tags are allowed).
    lintian --fail-on error,warning "$deb" >"$work/lintian" 2>"$work/lintian.err" ||
        fail "lintian: $(cat "$work/lintian" "$work/lintian.err")"
    grep -E '^[EW]: ' "$work/lintian" && fail "lintian: $(cat "$work/lintian")"
    dpkg-deb -x "$deb" "$work/root"
    file "$work/root/usr/bin/tambrel" | grep -q ', stripped' || fail "tambrel is not stripped"
    for doc in copyright changelog.gz; do
        [ -f "$work/root/usr/share/doc/tambrel/$doc" ] || fail "no /usr/share/doc/tambrel/$doc"
    done
    check_tree "$work/root/usr"
    ;;
*)
    fail "mode is staged or package"
    ;;
esac
echo "install_test ($mode): ok"
