# Shared by the project's scripts: installing what they need, building, and
# running a healthy Wine session in a prefix of the build's own.

LINDQUELL_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

say() { printf '%s\n' "$*" >&2; }

# Installs the cross compiler, Wine, CMake and GoogleTest's sources where missing.
install_prerequisites() {
    local missing=()
    command -v x86_64-w64-mingw32-g++-posix >/dev/null || missing+=(mingw-w64)
    command -v wine >/dev/null || missing+=(wine64 wine)
    command -v cmake >/dev/null || missing+=(cmake)
    [ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
    if [ ${#missing[@]} -gt 0 ]; then
        say "Installing ${missing[*]} ..."
        local sudo=""
        [ "$(id -u)" = 0 ] || sudo=sudo
        $sudo apt-get update -qq >/dev/null
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

# build_tree DIR [cmake options...]: configures the cross build in DIR and
# builds it; shows the build's output only when it fails.
build_tree() {
    local dir=$1
    shift
    mkdir -p "$dir"
    if ! { cmake -S "$LINDQUELL_ROOT" -B "$dir" \
            -DCMAKE_TOOLCHAIN_FILE="$LINDQUELL_ROOT/cmake/mingw-w64-x86_64.cmake" "$@" &&
        cmake --build "$dir" --parallel "$(nproc)"; } >"$dir/build.log" 2>&1; then
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

# wine_quiet ARGS...: a Wine call whose output and outcome do not matter.
wine_quiet() {
    timeout 120 wine "$@" </dev/null >/dev/null 2>&1 || true
}

# install_standin BIN: Wine has no Offline Files library; the test stand-in
# built in BIN takes its place in the prefix's system directory.
install_standin() {
    cp "$1/cscdll_standin.dll" "$WINEPREFIX/drive_c/windows/system32/cscdll.dll"
}

# register_service EXE OPTIONS: (re-)registers the service with the Windows
# path EXE, quoted, and OPTIONS on its command line.
register_service() {
    wine_quiet sc stop QORV-Lindquell
    wine_quiet sc delete QORV-Lindquell
    wine_quiet sc create QORV-Lindquell binPath= "\"$1\" $2"
}
