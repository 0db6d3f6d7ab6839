# The i386 Debian root in which the x86 build's programs run under 32-bit
# Wine, kept beside the build trees. Sourced after common.sh.
#
# 32-bit Wine (wine32:i386) never goes onto the host: there the `wine`
# command would prefer its 32-bit loader for every program. The root has a
# Wine of its own, a 32-bit Windows, and is entered in namespaces of its own:
# a mount namespace (private propagation), so that nothing it binds is seen
# outside it and every mount goes when it ends, and a PID namespace, so that
# no process it started (a wineserver, services.exe) outlives it. A root is
# used only when its marker, written last, names the package list below and
# its Wine starts; anything else is made again from nothing.

# What the x86 CTest run needs: Wine with its 32-bit part, CTest, and the
# tools the static rows use (msiinfo, the i686 objdump).
I386_ROOT_PACKAGES="wine wine32 cmake msitools binutils-mingw-w64-i686"
I386_ROOT_SUITE=bookworm
I386_ROOT_MIRROR=${I386_ROOT_MIRROR:-http://deb.debian.org/debian}
I386_ROOT_MARKER=.lindquell-root

# What the marker of a complete root holds: the suite and package list.
i386_root_stamp() {
    printf '%s %s\n' "$I386_ROOT_SUITE" "$I386_ROOT_PACKAGES" | sha256sum | cut -d' ' -f1
}

# i386_root_enter DIR COMMAND...: runs COMMAND in the root DIR, in a mount
# namespace and a PID namespace of its own, with /proc (of that PID
# namespace), /sys and /dev in it, an empty /tmp, and each folder named in
# I386_ROOT_BINDS (space-separated) at the same path. When COMMAND ends, or
# this call is killed, every process in the namespace is killed and every
# mount goes with it.
i386_root_enter() {
    local dir=$1
    shift
    unshare --mount --propagation private --pid --fork --kill-child -- \
        bash -c '
            set -e
            root=$1
            shift
            mount -t proc proc "$root/proc"
            mount --rbind /sys "$root/sys"
            mount --rbind /dev "$root/dev"
            mount -t tmpfs tmpfs "$root/tmp"
            for folder in $I386_ROOT_BINDS; do
                mkdir -p "$root$folder"
                mount --bind "$folder" "$root$folder"
            done
            cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
            exec chroot "$root" /usr/bin/env -i HOME=/root TERM="${TERM:-dumb}" LANG=C.UTF-8 \
                PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
        ' i386-root "$dir" "$@"
}

# i386_root_verified DIR: whether DIR is a complete root of the current
# package list whose Wine starts.
i386_root_verified() {
    local dir=$1
    [ "$(cat "$dir/$I386_ROOT_MARKER" 2>/dev/null)" = "$(i386_root_stamp)" ] || return 1
    [ -x "$dir/usr/lib/wine/wine" ] || return 1
    I386_ROOT_BINDS="" i386_root_enter "$dir" timeout 120 wine --version </dev/null >/dev/null 2>&1
}

# i386_root_make DIR LOG: makes the root in the empty folder DIR, its
# output in LOG. The marker comes last: a root that was interrupted has none.
i386_root_make() {
    local dir=$1 log=$2
    {
        debootstrap --variant=minbase --arch=i386 --foreign "$I386_ROOT_SUITE" "$dir" "$I386_ROOT_MIRROR" &&
            I386_ROOT_BINDS="" i386_root_enter "$dir" /debootstrap/debootstrap --second-stage &&
            I386_ROOT_BINDS="" i386_root_enter "$dir" bash -c "
                set -e
                export DEBIAN_FRONTEND=noninteractive
                apt-get update -qq
                apt-get install -y -qq --no-install-recommends $I386_ROOT_PACKAGES
                apt-get clean
                rm -rf /var/lib/apt/lists/*"
    } </dev/null >"$log" 2>&1 || return 1
    I386_ROOT_BINDS="" i386_root_enter "$dir" timeout 120 wine --version </dev/null >>"$log" 2>&1 || return 1
    i386_root_stamp >"$dir/$I386_ROOT_MARKER"
}

# i386_root_ready DIR: makes sure DIR holds a root to run 32-bit Wine in,
# making it when it cannot be verified. When 32-bit programs cannot run here
# or the root cannot be made, it fails and prints why, in one line.
i386_root_ready() {
    local dir=$1
    if [ ! -e /proc/sys/abi/vsyscall32 ]; then
        echo "this kernel runs no i386 programs (no /proc/sys/abi/vsyscall32)"
        return 1
    fi
    if [ "$(id -u)" != 0 ]; then
        echo "the i386 root needs root rights (debootstrap, mount and PID namespaces)"
        return 1
    fi
    i386_root_verified "$dir" && return 0
    say "Making the i386 root in $dir (about a minute, 0.9 GB) ..."
    local log=$dir.log
    rm -rf "$dir"
    mkdir -p "$dir"
    if ! i386_root_make "$dir" "$log"; then
        echo "the i386 root could not be made: $(grep -v '^\s*$' "$log" | tail -n 1) (see $log)"
        return 1
    fi
    rm -f "$log"
}
