#!/usr/bin/env bash
# Checks of what gets installed and packaged, run by ctest from the build folder:
#
#   check_package.sh man|completion|validate|install|deb BUILD_DIR SOURCE_DIR WITH_GUI
#
# man and completion check that the generated man pages and bash completion are in step with
# the programs' own --help and the README; validate runs the desktop-entry and metainfo
# validators; install and deb check that cmake --install and the two Debian packages hold every
# file they should and nothing of the tests, that the installed tessel finds its installed
# images, and that lintian finds nothing in the packages.
set -euo pipefail
what=$1 build=$2 source=$3 gui=$4
tessel="$build/apps/cli/tessel"
sim="$build/apps/sim/tessel-sim"
gui_program="$build/apps/gui/tessel-gui"
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
    pages=(tessel tessel-sim)
    if [ "$gui" = ON ]; then
        # Answered without a display: with no X server to reach, opening a window would fail.
        env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$gui_program" --help >"$work/gui-help" 2>&1 \
            || fail "tessel-gui --help did not exit 0 without a display: $(cat "$work/gui-help")"
        grep -q '^Usage: tessel-gui' "$work/gui-help" || fail "tessel-gui --help prints no usage"
        [ "$(env -u DISPLAY QT_QPA_PLATFORM=xcb "$gui_program" --version)" = "$("$tessel" --version | sed 's/^tessel/tessel-gui/')" ] \
            || fail "tessel-gui --version does not print its version"
        # A mistyped option is told before Qt would need a display, and opens nothing.
        status=0
        env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$gui_program" --bogus >"$work/gui-bogus" 2>&1 || status=$?
        [ "$status" = 2 ] || fail "tessel-gui --bogus exited $status, not 2: $(cat "$work/gui-bogus")"
        grep -q "^tessel-gui: unknown option '--bogus'" "$work/gui-bogus" && grep -q '^Usage: tessel-gui' "$work/gui-bogus" \
            || fail "tessel-gui --bogus does not name the option and the usage: $(cat "$work/gui-bogus")"
        pages+=(tessel-gui)
    fi
    for page in "${pages[@]}"; do
        [ -s "$docs/$page.1" ] || { fail "$docs/$page.1 was not generated"; continue; }
        warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$docs/$page.1" 2>&1 >/dev/null)
        [ -z "$warnings" ] || fail "$page.1: man --warnings: $warnings"
        render "$docs/$page.1" >"$work/$page.txt"
    done
    grep -q "$("$tessel" --version)" "$work/tessel.txt" || fail "tessel.1 does not carry $("$tessel" --version)"
    grep -q "$("$sim" --version)" "$work/tessel-sim.txt" || fail "tessel-sim.1 does not carry $("$sim" --version)"
    # The sections a reader looks for, each once; the exit status nowhere else.
    for section in "EXIT STATUS" "JSON OUTPUT" ENVIRONMENT FILES EXAMPLES; do
        [ "$(grep -c "^$section\$" "$work/tessel.txt")" = 1 ] || fail "tessel.1 has no single $section section"
    done
    [ "$(grep -c 'no boot loader answered' "$work/tessel.txt")" = 1 ] || fail "tessel.1 repeats the exit status"
    # The same exit codes and JSON events as the README's tables.
    awk '/^#+ /{on = /^#+ Exit status/} on' "$source/README.md" | sed -n 's/^| \([0-9][0-9, ]*\) |.*/\1/p' \
        | tr ', ' '\n\n' | grep . | sort -u >"$work/readme-codes"
    # A tag stands at the indent of its section, its text after it or on the next line.
    sed -n '/^EXIT STATUS$/,/^[A-Z]/p' "$work/tessel.txt" | sed -En 's/^ {7}([0-9]+(, [0-9]+)*)( .*)?$/\1/p' \
        | tr ', ' '\n\n' | grep . | sort -u >"$work/man-codes"
    [ -s "$work/readme-codes" ] && cmp -s "$work/readme-codes" "$work/man-codes" \
        || fail "the exit codes of tessel.1 ($(echo $(cat "$work/man-codes"))) differ from the README's ($(echo $(cat "$work/readme-codes")))"
    sed -n 's/^| `\([a-z_]*\)` |.*/\1/p' "$source/README.md" >"$work/events"
    [ -s "$work/events" ] || fail "no JSON events found in the README"
    sed -n '/^JSON OUTPUT$/,/^ENVIRONMENT$/p' "$work/tessel.txt" >"$work/man-json"
    while read -r event; do
        grep -Eq "^ {7}$event( |\$)" "$work/man-json" || fail "tessel.1 does not describe the JSON event $event"
    done <"$work/events"
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
        # With the home the man page was made with: the defaults under it are spelt "~/...".
        HOME='~' env -u XDG_STATE_HOME "$tessel" ${path#tessel } --help | squeeze | grep -v '^$' >"$work/help"
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
    # A free value is completed as a file name, not as an option or a command; a file argument
    # too. Values from a fixed set are those of the option's own check.
    touch "$work/app.hex"
    complete_words tessel download --trace-wire "$work/app.h" | grep -qx "$work/app.hex" || fail "the value of --trace-wire is not completed as a path"
    complete_words tessel download "$work/app.h" | grep -qx "$work/app.hex" || fail "download's file argument is not completed"
    [ "$(complete_words tessel read --chip NX31A3 | tr '\n' ' ')" = "NX31A32 " ] || fail "--chip NX31A3 does not complete to NX31A32"
    [ "$(complete_words tessel --chip '' | wc -l)" = "$("$tessel" chips | grep -Ec '^[0-9]+ +NX[0-9A-Z]+ +family')" ] || fail "--chip does not offer every chip"
    [ "$(complete_words tessel lock -y '' | tr '\n' ' ')" = "1 2 3 4 5 6 " ] || fail "lock's option does not complete to 1 to 6"
    [ "$(complete_words tessel download --lock '' | tr '\n' ' ')" = "1 2 3 4 5 6 " ] || fail "download --lock does not complete to 1 to 6"
    [ "$(complete_words tessel remap s | tr '\n' ' ')" = "sc0 sc1 " ] || fail "remap's option does not complete to sc0, sc1"
    [ "$(complete_words tessel -b 96 | tr '\n' ' ')" = "9600 " ] || fail "-b does not complete to its rates"
    [ "$(complete_words tessel help dow | tr '\n' ' ')" = "download " ] || fail "help does not complete the commands"
    # Ports: the recorded device tree's stable names and devices, and the stand-in board per chip,
    # also as bash splits a word at its colon.
    export TESSEL_DEVICE_TREE="$source/tests/platform/data/ports"
    complete_words "$tessel" download --port '' >"$work/ports"
    for port in /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A9XYZ012-if00-port0 /dev/ttyUSB0 sim:NX31H64D; do
        grep -qx -- "$TESSEL_DEVICE_TREE$port\|$port" "$work/ports" || fail "--port does not offer $port: $(echo $(cat "$work/ports"))"
    done
    [ "$(complete_words "$tessel" compare -p sim:NX31H6 | tr '\n' ' ')" = "sim:NX31H64D " ] || fail "-p sim:NX31H6 does not complete"
    line="$tessel erase --port sim:NX31L3"
    [ "$(bash --norc --noprofile -c '. "$1"; COMP_LINE=$2; COMP_POINT=${#2}; COMP_WORDS=("$3" erase --port sim : NX31L3); COMP_CWORD=5; _tessel; printf "%s\n" "${COMPREPLY[@]}"' \
        _ "$completion" "$line" "$tessel")" = "NX31L32B" ] || fail "after the colon bash splits at, --port does not complete to the rest of sim:NX31L32B"
    # --opt=<Tab> as bash splits it at the '='; tessel-sim's options and chips.
    [ "$(bash --norc --noprofile -c '. "$1"; COMP_LINE=$2; COMP_POINT=${#2}; COMP_WORDS=(tessel read --chip = NX31H); COMP_CWORD=4; _tessel; printf "%s\n" "${COMPREPLY[@]}"' \
        _ "$completion" "tessel read --chip=NX31H" | sort)" = "$(printf 'NX31H32B\nNX31H64D')" ] || fail "--chip=NX31H does not complete to the chips"
    sim_words() { bash --norc --noprofile -c '. "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _tessel_sim; printf "%s\n" "${COMPREPLY[@]}"' _ "$completion" "$@" | sort; }
    sim_words "$sim" --save-b | grep -qx -- --save-block0 || fail "tessel-sim --save-b does not complete its options"
    [ "$(sim_words "$sim" --chip NX31L | tr '\n' ' ')" = "NX31L32B NX31L64D " ] || fail "tessel-sim --chip does not complete the chips"
    unset TESSEL_DEVICE_TREE
    # The word after an option that takes a value is that value, even when it spells a command:
    # a table where a command has both options with values and sub-commands, generated the same way.
    printf '#!/bin/sh\nprintf "%%s\\n" "tessel\tpassword run\t-q\t-p --port\t" "tessel password\tset\t\t--file\t" "tessel password set\t\t--yes\t\t" "tessel run\t\t--now\t\t"\n' >"$work/tessel"
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
    # The files each package holds (one list for cmake --install, which installs both).
    tessel_files=(usr/bin/tessel usr/bin/tessel-sim usr/share/man/man1/tessel.1.gz usr/share/man/man1/tessel-sim.1.gz
        usr/share/bash-completion/completions/tessel usr/share/bash-completion/completions/tessel-sim usr/lib/udev/rules.d/70-tessel-usb-serial.rules
        usr/share/doc/tessel/copyright usr/share/doc/tessel/changelog.gz usr/share/doc/tessel/README.md)
    for image in "$source"/src/firmware/*.bin; do
        tessel_files+=("usr/share/tessel/firmware/$(basename "$image")")
    done
    gui_files=()
    if [ "$gui" = ON ]; then
        gui_files=(usr/bin/tessel-gui usr/share/man/man1/tessel-gui.1.gz usr/share/applications/tessel-gui.desktop
            usr/share/doc/tessel-gui/copyright usr/share/doc/tessel-gui/changelog.gz
            usr/share/icons/hicolor/scalable/apps/tessel.svg usr/share/metainfo/local.tessel.Tessel.metainfo.xml)
        for size in 16 24 32 48 64 128 256; do
            gui_files+=("usr/share/icons/hicolor/${size}x${size}/apps/tessel.png")
        done
    fi
    # Exactly these files, nothing of the tests or the build.
    holds() { # LIST-FILE WHAT EXPECTED...
        local list=$1 name=$2
        shift 2
        printf '%s\n' "$@" | sort >"$work/expected"
        diff "$work/expected" "$list" >"$work/diff" || fail "$name holds other files than it should: $(cat "$work/diff")"
    }
    if [ "$what" = install ]; then
        cmake --install "$build" --prefix "$work/root/usr" >/dev/null
        (cd "$work/root" && find . ! -type d | sed 's|^\./||') | sort >"$work/files"
        holds "$work/files" "cmake --install" "${tessel_files[@]}" "${gui_files[@]}"
        # The installed tessel takes the installed images, found from its own folder, also once
        # the whole tree has been moved elsewhere.
        for prefix in "$work/root/usr" "$work/moved/usr"; do
            if [ "$prefix" = "$work/moved/usr" ]; then mv "$work/root" "$work/moved"; fi
            HOME="$work" XDG_DATA_HOME="$work/no-data" "$prefix/bin/tessel" firmware >"$work/firmware" 2>&1 \
                || fail "the installed tessel firmware failed: $(cat "$work/firmware")"
            for image in "$source"/src/firmware/*.bin; do
                grep -q " $prefix/share/tessel/firmware/$(basename "$image")\$" "$work/firmware" \
                    || fail "tessel firmware under $prefix does not take $(basename "$image") from $prefix/share/tessel/firmware: $(cat "$work/firmware")"
            done
        done
        mv "$work/moved" "$work/root"
    else
        need dpkg-deb
        need lintian
        (cd "$build" && cpack -G DEB -B "$work/deb" >"$work/cpack.log") || { cat "$work/cpack.log"; fail "cpack"; exit 1; }
        debs=("$work"/deb/tessel_*.deb)
        [ "$gui" = ON ] && debs+=("$work"/deb/tessel-gui_*.deb)
        for deb in "${debs[@]}"; do
            [ -f "$deb" ] || { fail "cpack made no $(basename "$deb")"; continue; }
            name=$(dpkg-deb -f "$deb" Package)
            dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sed 's|^\./||' | sort >"$work/$name.files"
            depends=$(dpkg-deb -f "$deb" Depends)
            [[ $depends == *libc6* ]] || fail "$name: Depends lacks the C library: $depends"
            [[ $(dpkg-deb -f "$deb" Maintainer) == *"<"*@*">" ]] || fail "$name: the maintainer has no address"
            [ "$(dpkg-deb -f "$deb" Description | wc -l)" -gt 3 ] || fail "$name has no long description"
            if [ "$name" = tessel ]; then
                holds "$work/$name.files" "$name" "${tessel_files[@]}"
                [[ $depends != *qt* ]] || fail "tessel depends on Qt: $depends"
            else
                holds "$work/$name.files" "$name" "${gui_files[@]}"
                [[ $depends == *libqt6widgets6* ]] || fail "tessel-gui: Depends lacks Qt 6 Widgets: $depends"
                # The window's icon is an SVG: without the plug-in it shows none.
                [[ $depends == *libqt6svg6* ]] || fail "tessel-gui: Depends lacks the SVG plug-in: $depends"
                [[ $depends == *"tessel (= $(dpkg-deb -f "${debs[0]}" Version))"* ]] || fail "tessel-gui does not depend on this tessel: $depends"
            fi
            dpkg-deb -x "$deb" "$work/root"
            # Hardened and stripped as Debian's own binaries are (lintian reports some of this
            # only as information).
            for program in $(dpkg-deb -c "$deb" | awk '{print $6}' | grep '/usr/bin/.'); do
                program="$work/root/${program#./}"
                [[ $(readelf -S "$program") != *.comment* ]] || fail "$program keeps its .comment section"
                [[ $(readelf -d "$program") == *BIND_NOW* || $(readelf -d "$program") == *"Flags: NOW"* ]] || fail "$program is not linked with -z now"
                [[ $(readelf -l "$program") == *GNU_RELRO* ]] || fail "$program is not linked with -z relro"
                [[ $(readelf -W --dyn-syms "$program") =~ __[a-z]+_chk@ ]] || fail "$program has no fortified functions"
            done
            # Clean by Debian's standards, pedantic ones included.
            lintian --pedantic --fail-on error,warning,pedantic --tag-display-limit 0 "$deb" >"$work/lintian" 2>&1 \
                || fail "lintian on $name: $(cat "$work/lintian")"
            if [ -s "$work/lintian" ] && grep -q '^[EWP]:' "$work/lintian"; then
                fail "lintian on $name: $(cat "$work/lintian")"
            fi
        done
    fi
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
