#!/usr/bin/env bash
# Checks of what gets installed and packaged, run by ctest from the build folder:
#
#   check_package.sh man|completion|validate|install|deb BUILD_DIR SOURCE_DIR WITH_GUI
#
# man and completion check that the generated man pages and bash completion are in step with
# the programs' own --help; validate runs the desktop-entry and metainfo validators; install
# and deb check that cmake --install and the Debian package hold every file they should and
# nothing of the tests.
set -euo pipefail
what=$1 build=$2 source=$3 gui=$4
tessel="$build/apps/cli/tessel"
sim="$build/apps/sim/tessel-sim"
docs="$build/docs"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
need() { command -v "$1" >/dev/null || { echo "FAIL: $1 is missing (tools/bootstrap.sh installs it)" >&2; exit 1; }; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The command paths of tessel ("tessel", "tessel password", "tessel password set", ...).
command_paths() { "$tessel" --completion-table | cut -f1; }

# The option names a --help text lists: "  -p,--port TEXT  ..." gives -p and --port.
help_options() {
    sed -n 's/^ \{1,\}\(-[^ ]*\).*/\1/p' | tr ',' '\n' | grep -E '^--?[A-Za-z0-9]' | sort -u
}

# The sub-commands a --help text lists under "Subcommands:".
help_subcommands() {
    sed -n '/^Subcommands:/,/^$/p' | sed -n 's/^ \{1,\}\([a-z0-9][a-z0-9-]*\).*/\1/p' | sort -u
}

squeeze() { tr -s ' \t' ' ' | sed 's/^ //; s/ $//'; }

case $what in
man)
    need man
    # Rendered as a reader sees it; ASCII, and wide enough that no help line is broken.
    render() { LC_ALL=C MANWIDTH=400 man -l "$1" 2>/dev/null | col -b; }
    for page in tessel tessel-sim; do
        [ -s "$docs/$page.1" ] || { fail "$docs/$page.1 was not generated"; continue; }
        warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$docs/$page.1" 2>&1 >/dev/null)
        [ -z "$warnings" ] || fail "$page.1: man --warnings: $warnings"
        render "$docs/$page.1" >"$work/$page.txt"
    done
    grep -q "$("$tessel" --version)" "$work/tessel.txt" || fail "tessel.1 does not carry $("$tessel" --version)"
    grep -q "$("$sim" --version)" "$work/tessel-sim.txt" || fail "tessel-sim.1 does not carry $("$sim" --version)"
    # Every option of both programs, and every command of tessel with its own help text.
    for opt in $("$sim" --help | help_options); do
        grep -q -- "$opt" "$work/tessel-sim.txt" || fail "tessel-sim.1 lacks $opt"
    done
    for opt in $("$tessel" --help | help_options); do
        grep -q -- "$opt" "$work/tessel.txt" || fail "tessel.1 lacks $opt"
    done
    squeeze <"$work/tessel.txt" >"$work/tessel.squeezed"
    while read -r path; do
        [ "$path" = tessel ] && continue
        # shellcheck disable=SC2086
        "$tessel" ${path#tessel } --help | squeeze | grep -v '^$' >"$work/help"
        while IFS= read -r line; do
            grep -qxF -- "$line" "$work/tessel.squeezed" || fail "tessel.1 is not in step with '$path --help': lacks '$line'"
        done <"$work/help"
    done < <(command_paths)
    ;;
completion)
    completion="$docs/completion/tessel"
    [ -s "$completion" ] || { echo "FAIL: $completion was not generated" >&2; exit 1; }
    bash -n "$completion" || fail "$completion is not valid bash"
    # What the completion offers for the words typed so far (the last one being completed).
    complete_with() {
        bash --norc --noprofile -c '. "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _tessel; printf "%s\n" "${COMPREPLY[@]}"' \
            _ "$@" | sort
    }
    complete_words() { complete_with "$completion" "$@"; }
    # Each command offers its own sub-commands and every option its --help lists.
    while read -r path; do
        # shellcheck disable=SC2086
        "$tessel" ${path#tessel} --help >"$work/help"
        # shellcheck disable=SC2086
        for sub in $(help_subcommands <"$work/help"); do
            complete_words $path "${sub:0:2}" | grep -qx -- "$sub" || fail "'$path ${sub:0:2}' does not complete to $sub"
        done
        # shellcheck disable=SC2086
        complete_words $path - >"$work/offered"
        for opt in $(help_options <"$work/help"); do
            grep -qx -- "$opt" "$work/offered" || fail "'$path -' does not offer $opt"
        done
    done < <(command_paths)
    # A value is completed as a file name, not as an option or a command; a file argument too.
    touch "$work/app.hex"
    complete_words tessel download --port "$work/app.h" | grep -qx "$work/app.hex" || fail "the value of --port is not completed as a path"
    complete_words tessel download "$work/app.h" | grep -qx "$work/app.hex" || fail "download's file argument is not completed"
    # The word after an option that takes a value is that value, even when it spells a command:
    # a table where a command has both options with values and sub-commands, generated the same way.
    printf '#!/bin/sh\nprintf "%%s\\n" "tessel\tpassword run\t-q\t-p --port" "tessel password\tset\t\t--file" "tessel password set\t\t--yes\t" "tessel run\t\t--now\t"\n' >"$work/tessel"
    chmod +x "$work/tessel"
    cmake -DTESSEL="$work/tessel" -DWHAT=completion -DTEMPLATE="$source/packaging/tessel.bash.in" \
        -DOUTPUT="$work/table.bash" -P "$source/cmake/GenerateDocs.cmake"
    [ "$(complete_with "$work/table.bash" tessel --port run password s)" = set ] \
        || fail "the value of --port was taken for a command"
    [ "$(complete_with "$work/table.bash" tessel -q run --n)" = --now ] || fail "a flag was taken to have a value"
    [ "$(complete_with "$work/table.bash" tessel password --file set -)" = --file ] || fail "password's --file value was taken for a command"
    ;;
validate)
    need desktop-file-validate
    need appstreamcli
    desktop-file-validate "$source/packaging/tessel-gui.desktop" || fail "desktop-file-validate"
    for m in "$source"/packaging/*.metainfo.xml; do
        appstreamcli validate --no-net "$m" || fail "appstreamcli validate $m"
    done
    ;;
install | deb)
    if [ "$what" = install ]; then
        cmake --install "$build" --prefix "$work/root/usr" >/dev/null
        (cd "$work/root" && find . ! -type d | sed 's|^\./||') | sort >"$work/files"
    else
        need dpkg-deb
        (cd "$build" && cpack -G DEB -B "$work/deb" >"$work/cpack.log") || { cat "$work/cpack.log"; fail "cpack"; exit 1; }
        deb=$(ls "$work"/deb/tessel_*.deb)
        dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort >"$work/files"
        depends=$(dpkg-deb -f "$deb" Depends)
        [[ $depends == *libc6* ]] || fail "Depends lacks the C library: $depends"
        if [ "$gui" = ON ]; then [[ $depends == *libqt6widgets6* ]] || fail "Depends lacks Qt 6 Widgets: $depends"; fi
        [ "$(dpkg-deb -f "$deb" Description | wc -l)" -gt 3 ] || fail "the package has no long description"
        dpkg-deb -x "$deb" "$work/root"
    fi
    expected=(usr/bin/tessel usr/bin/tessel-sim usr/share/man/man1/tessel.1 usr/share/man/man1/tessel-sim.1
        usr/share/bash-completion/completions/tessel usr/lib/udev/rules.d/70-tessel-usb-serial.rules
        usr/share/doc/tessel/copyright)
    for image in "$source"/src/firmware/*.bin; do
        expected+=("usr/share/tessel/firmware/$(basename "$image")")
    done
    if [ "$gui" = ON ]; then
        expected+=(usr/bin/tessel-gui usr/share/applications/tessel-gui.desktop
            usr/share/icons/hicolor/scalable/apps/tessel.svg usr/share/metainfo/local.tessel.Tessel.metainfo.xml)
        for size in 16 24 32 48 64 128 256; do
            expected+=("usr/share/icons/hicolor/${size}x${size}/apps/tessel.png")
        done
    fi
    for f in "${expected[@]}"; do
        grep -qx -- "$f" "$work/files" || fail "$what: $f is missing"
    done
    grep -E '(^|/)test_|gtest|/include/|\.a$' "$work/files" && fail "$what: test or build files"
    # The installed files are the right ones: the images byte for byte, the icons at their
    # sizes, the desktop entry's icon and the metainfo's launcher present, the programs runnable.
    for image in "$source"/src/firmware/*.bin; do
        cmp -s "$image" "$work/root/usr/share/tessel/firmware/$(basename "$image")" || fail "$(basename "$image") differs"
    done
    "$work/root/usr/bin/tessel" --version | grep -q '^tessel ' || fail "the installed tessel does not run"
    "$work/root/usr/bin/tessel-sim" --help | grep -q -- '--chip' || fail "the installed tessel-sim does not run"
    if [ "$gui" = ON ]; then
        for size in 16 256; do
            file "$work/root/usr/share/icons/hicolor/${size}x${size}/apps/tessel.png" | grep -q "$size x $size" \
                || fail "the ${size}x${size} icon has another size"
        done
        icon=$(sed -n 's/^Icon=//p' "$work/root/usr/share/applications/tessel-gui.desktop")
        [ -f "$work/root/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "the desktop entry's icon $icon is not installed"
        launch=$(sed -n 's|.*<launchable type="desktop-id">\(.*\)</launchable>.*|\1|p' "$work"/root/usr/share/metainfo/*.xml)
        [ -f "$work/root/usr/share/applications/$launch" ] || fail "the metainfo launches $launch, which is not installed"
    fi
    ;;
*)
    echo "usage: $0 man|completion|validate|install|deb BUILD_DIR SOURCE_DIR WITH_GUI" >&2
    exit 2
    ;;
esac
if [ "$failures" -ne 0 ]; then
    echo "$what: $failures failure(s)" >&2
    exit 1
fi
echo "$what: ok"
