# Shared by the project's scripts: installing what they need, building, and
# running a healthy Wine session in a prefix of the build's own.

LINDQUELL_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

. "$LINDQUELL_ROOT/scripts/lib/no-aslr.sh"

say() { printf '%s\n' "$*" >&2; }

# Adds to the caller's array `missing` the packages that building the
# service and running it under Wine need: the cross compilers, Wine and CMake.
add_missing_build_packages() {
    { command -v x86_64-w64-mingw32-g++-posix && command -v i686-w64-mingw32-g++-posix; } >/dev/null ||
        missing+=(mingw-w64)
    command -v wine >/dev/null || missing+=(wine64 wine)
    command -v cmake >/dev/null || missing+=(cmake)
}

# install_packages PACKAGE...: installs them with apt-get, saying which.
install_packages() {
    [ $# -gt 0 ] || return 0
    say "Installing $* ..."
    local sudo=""
    [ "$(id -u)" = 0 ] || sudo=sudo
    $sudo apt-get update -qq >/dev/null
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "$@" >/dev/null
}

# Installs what building the service and running it under Wine needs, where
# missing: the demo's prerequisites.
install_build_prerequisites() {
    local missing=()
    add_missing_build_packages
    install_packages "${missing[@]}"
}

# Installs, where missing, what building and running the service needs and
# what the tests and releases add: GoogleTest's sources, the package tools
# (wixl, msitools) and the signing tools (osslsigncode, openssl, and for the
# release tests SoftHSM with OpenSSL's PKCS#11 engine, Python for a
# time-stamp server and ssh-keygen for a signed tag), yamllint for the
# Windows workflow, Node.js with npm for the parse check of the PowerShell
# scripts, and debootstrap for the i386 root of the x86 pass.
install_prerequisites() {
    local missing=()
    add_missing_build_packages
    command -v wixl >/dev/null || missing+=(wixl)
    command -v msiinfo >/dev/null || missing+=(msitools)
    command -v openssl >/dev/null || missing+=(openssl)
    command -v softhsm2-util >/dev/null || missing+=(softhsm2)
    dpkg -s libengine-pkcs11-openssl >/dev/null 2>&1 || missing+=(libengine-pkcs11-openssl)
    command -v python3 >/dev/null || missing+=(python3)
    command -v ssh-keygen >/dev/null || missing+=(openssh-client)
    command -v yamllint >/dev/null || missing+=(yamllint)
    command -v node >/dev/null || missing+=(nodejs)
    command -v npm >/dev/null || missing+=(npm)
    command -v debootstrap >/dev/null || missing+=(debootstrap)
    [ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
    install_packages "${missing[@]}"
    install_osslsigncode
}

# Signing PowerShell scripts, and reading their signatures, needs
# osslsigncode 2.8 or later.
OsslsigncodeMinimum=2.8

# The installed osslsigncode's version (2.9), or nothing.
osslsigncode_version() {
    local banner
    banner=$(osslsigncode --version 2>/dev/null) || true
    sed -n '1s/^osslsigncode \([0-9][0-9.]*\).*/\1/p' <<<"$banner"
}

# Whether the installed osslsigncode is recent enough.
osslsigncode_recent() {
    local version
    version=$(osslsigncode_version)
    [ -n "$version" ] &&
        [ "$(printf '%s\n' "$OsslsigncodeMinimum" "$version" | sort -V | sed -n 1p)" = "$OsslsigncodeMinimum" ]
}

# Whether this is Debian 12, whose main archive lacks the versions some
# tools need and whose bookworm-backports has them.
debian_bookworm() {
    [ -r /etc/os-release ] && [ "$(. /etc/os-release && echo "${ID:-}/${VERSION_CODENAME:-}")" = debian/bookworm ]
}

# apt_install_recent PACKAGE: installs PACKAGE, whose version in Debian
# 12's main archive is too old: on Debian 12 from bookworm-backports,
# adding that suite to apt's sources (on the mirror of the system's own
# bookworm source) when it is missing, and saying so; elsewhere from apt's
# sources as they are. Fails where apt fails, or has no bookworm source to
# add it beside (saying what to do).
apt_install_recent() {
    local sudo="" mirror list=/etc/apt/sources.list.d/bookworm-backports.sources
    [ "$(id -u)" = 0 ] || sudo=sudo
    if ! debian_bookworm; then
        $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$1" >/dev/null 2>&1
        return
    fi
    if ! grep -qsE '^[^#]*bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
            /etc/apt/sources.list.d/*.sources; then
        mirror=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 2>/dev/null |
            awk '$2 == "bookworm" { print $1; exit }') || true
        if [ -z "$mirror" ]; then
            say "$1: apt has no bookworm source to add bookworm-backports beside: add bookworm-backports to apt's sources, then apt-get install -t bookworm-backports $1"
            return 1
        fi
        printf 'Types: deb\nURIs: %s\nSuites: bookworm-backports\nComponents: main\n%s\n' "$mirror" \
            "$([ ! -f /usr/share/keyrings/debian-archive-keyring.gpg ] ||
                echo 'Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg')" |
            $sudo tee "$list" >/dev/null
        say "$1: added bookworm-backports to apt's sources ($list, from $mirror)."
    fi
    $sudo apt-get update -qq >/dev/null &&
        $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -t bookworm-backports "$1" >/dev/null
}

# Installs osslsigncode when it is missing or older than 2.8. Debian 12's
# main archive has 2.5; bookworm-backports has 2.9. Says what it did; where
# it cannot, says so and leaves the refusal to the scripts that sign (see
# release.sh).
install_osslsigncode() {
    osslsigncode_recent && return 0
    if apt_install_recent osslsigncode && osslsigncode_recent; then
        say "osslsigncode: installed $(osslsigncode_version) (Debian 12's main archive has 2.5, which cannot sign PowerShell scripts)."
    else
        say "osslsigncode: ${OsslsigncodeMinimum} or later is needed to sign PowerShell scripts; this machine has $(osslsigncode_version | grep . || echo none), and it could not be installed."
    fi
}

# build_tree DIR [ARCH [cmake options...]]: configures the cross build for
# ARCH (x64, the default, or x86) in DIR and builds it; shows the build's
# output only when it fails. Builds the source tree in build_source when
# that is set, else this checkout; only the targets in build_targets when
# that is set, else everything.
build_tree() {
    local dir=$1 toolchain=x86_64 source=${build_source:-$LINDQUELL_ROOT}
    [ "${2:-x64}" = x86 ] && toolchain=i686
    shift $(($# < 2 ? $# : 2))
    mkdir -p "$dir"
    if ! { cmake -S "$source" -B "$dir" \
            -DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-w64-$toolchain.cmake" "$@" &&
        cmake --build "$dir" --parallel "$(nproc)" ${build_targets:+--target $build_targets}; } >"$dir/build.log" 2>&1; then
        cat "$dir/build.log" >&2
        say "The build failed."
        return 1
    fi
}

# use_prefix DIR: every later Wine call of this script uses the prefix in DIR.
use_prefix() {
    export WINEPREFIX=$1
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
}

# Creates the prefix when it does not exist yet, then starts a fresh session
# in it, ending any session left running there. The session that created a
# prefix is not used: its service manager kept restarting. Wine's background
# processes get no pipes of ours, or a reader of their output would wait for
# them forever.
start_session() {
    stop_session
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        say "Creating the Wine prefix $WINEPREFIX ..."
        timeout 300 wineboot -i </dev/null >/dev/null 2>&1 || true
        timeout 60 wineserver -k </dev/null >/dev/null 2>&1 || true
        timeout 60 wineserver -w </dev/null >/dev/null 2>&1 || true
    fi
    timeout 60 wineserver -p </dev/null >/dev/null 2>&1
    timeout 120 wine cmd /c exit </dev/null >/dev/null 2>&1
}

stop_session() {
    timeout 60 wineserver -k </dev/null >/dev/null 2>&1 || true
    timeout 60 wineserver -w </dev/null >/dev/null 2>&1 || true
}

# wine_checked ARGS...: a Wine call that must succeed; when it fails, its
# output is shown and the call fails.
wine_checked() {
    local out
    if ! out=$(timeout 120 wine "$@" </dev/null 2>&1); then
        say "$out"
        say "Failed: $*"
        return 1
    fi
}

# wine_quiet ARGS...: a Wine call whose output and outcome do not matter.
wine_quiet() {
    timeout 120 wine "$@" </dev/null >/dev/null 2>&1 || true
}

# install_standin BIN: Wine has no Offline Files library; the test stand-in
# built in BIN takes its place in the prefix's system directory.
install_standin() {
    cp "$1/cscdll_standin.dll" "$WINEPREFIX/drive_c/windows/system32/cscdll.dll"
}

# The service's state as sc names it (RUNNING, STOPPED, ...), or nothing
# when it is not installed.
service_state() {
    timeout 60 wine sc query QORV-Lindquell </dev/null 2>/dev/null | tr -d '\r' | awk '/STATE/ { print $4 }'
}

# wait_for_service STATE: waits up to ten seconds for the state; an empty
# STATE waits for the service to be gone.
wait_for_service() {
    for _ in $(seq 100); do
        [ "$(service_state)" = "$1" ] && return 0
        sleep 0.1
    done
    say "The service did not become ${1:-absent} within ten seconds."
    return 1
}

# Stops the service when it runs and deletes it, each time waiting until the
# manager has done so: a new registration made while the old one is still
# marked for deletion fails with 1072.
remove_service() {
    [ -n "$(service_state)" ] || return 0
    wine_quiet sc stop QORV-Lindquell
    wait_for_service STOPPED
    wine_quiet sc delete QORV-Lindquell
    wait_for_service ""
}

# register_service EXE OPTIONS: (re-)registers the service with the Windows
# path EXE, quoted, and OPTIONS on its command line.
register_service() {
    remove_service
    wine_checked sc create QORV-Lindquell binPath= "\"$1\" $2"
}
