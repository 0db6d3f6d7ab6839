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

# Where the kernel runs no i386 programs (some are built or booted without
# IA-32 emulation: execve answers ENOEXEC), the root's programs run through
# qemu-user, registered with binfmt_misc for i386 ELF programs (the line of
# qemu's qemu-binfmt-conf.sh) with the F flag: the interpreter is opened at
# registration, so it serves the root, which has none. Version 10 or later:
# 7.2, Debian 12's, is far too slow for Wine.
I386_QEMU=/usr/bin/qemu-i386-static
I386_QEMU_MINIMUM=10
I386_BINFMT=/proc/sys/fs/binfmt_misc
I386_ELF_MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
I386_ELF_MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
# LINDQUELL_I386_VIA_QEMU=1 uses qemu where the kernel would run them
# itself (binfmt_misc comes before the kernel's own ELF loader), under a name
# of its own: i386_qemu_release takes that registration away again at the
# end of the script that made it, not of one that script started.
I386_FORCED_ENTRY=lindquell-qemu-i386
if [ -e "$I386_BINFMT/$I386_FORCED_ENTRY" ]; then I386_FORCED_BEFORE=true; else I386_FORCED_BEFORE=false; fi

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

# i386_runs DIR: whether the loader of the root DIR runs here.
i386_runs() {
    chroot "$1" /lib/ld-linux.so.2 --version </dev/null >/dev/null 2>&1
}

# The installed qemu-i386-static's version (10.0.2), or nothing.
i386_qemu_version() {
    "$I386_QEMU" --version 2>/dev/null | sed -n '1s/^qemu-i386 version \([0-9][0-9.]*\).*/\1/p'
}

i386_qemu_recent() {
    local version
    version=$(i386_qemu_version)
    [ -n "$version" ] && [ "${version%%.*}" -ge "$I386_QEMU_MINIMUM" ]
}

# i386_qemu_register NAME: registers qemu-user for i386 programs under NAME,
# installing qemu-user-static first where it is missing or too old. Fails
# where it cannot, saying why in one line.
i386_qemu_register() {
    if ! i386_qemu_recent; then
        apt_install_recent qemu-user-static || true
        if ! i386_qemu_recent; then
            echo "qemu-user-static $I386_QEMU_MINIMUM or later is needed to run them through qemu, and could not be installed (this machine has $(i386_qemu_version | grep . || echo none))"
            return 1
        fi
        say "qemu-user-static: installed $(i386_qemu_version)."
    fi
    if [ ! -e "$I386_BINFMT/register" ] && ! mount -t binfmt_misc binfmt_misc "$I386_BINFMT" 2>/dev/null; then
        echo "binfmt_misc could not be mounted on $I386_BINFMT to run them through qemu"
        return 1
    fi
    # A disabled registration of that name goes first.
    [ ! -e "$I386_BINFMT/$1" ] || echo -1 >"$I386_BINFMT/$1"
    if ! printf ':%s:M::%s:%s:%s:F\n' "$1" "$I386_ELF_MAGIC" "$I386_ELF_MASK" "$I386_QEMU" \
            2>/dev/null >"$I386_BINFMT/register"; then
        echo "qemu-user could not be registered with binfmt_misc for them"
        return 1
    fi
}

# i386_programs_run DIR: makes sure the root DIR's programs (its loader at
# least) run here: natively where the kernel runs them, else through qemu.
# Says in one line when they run through qemu, and why; fails where they
# cannot run, saying why in one line.
i386_programs_run() {
    local dir=$1 name=qemu-i386 why
    if grep -qsx enabled "$I386_BINFMT/qemu-i386" "$I386_BINFMT/$I386_FORCED_ENTRY"; then
        why="qemu-user is registered for them with binfmt_misc"
    elif [ "${LINDQUELL_I386_VIA_QEMU:-}" = 1 ]; then
        why="LINDQUELL_I386_VIA_QEMU=1"
        ! i386_runs "$dir" || name=$I386_FORCED_ENTRY
        i386_qemu_register "$name" || return 1
    elif i386_runs "$dir"; then
        return 0
    else
        why="this kernel runs no i386 programs"
        i386_qemu_register "$name" || return 1
    fi
    if ! i386_runs "$dir"; then
        echo "the root's i386 programs do not run through qemu-user either ($I386_BINFMT/$name)"
        return 1
    fi
    say "The x86 pass runs through qemu-user $(i386_qemu_version), many times slower than natively: $why."
}

# i386_qemu_release: takes away the registration that LINDQUELL_I386_VIA_QEMU=1
# made in this script, or in one it started.
i386_qemu_release() {
    $I386_FORCED_BEFORE || [ ! -e "$I386_BINFMT/$I386_FORCED_ENTRY" ] || echo -1 >"$I386_BINFMT/$I386_FORCED_ENTRY"
}

# i386_root_make DIR LOG: makes the root in the empty folder DIR, its
# output in LOG. Once the root's loader is there, its programs are made to
# run here (i386_programs_run). The marker comes last: a root that was
# interrupted has none.
i386_root_make() {
    local dir=$1 log=$2
    debootstrap --variant=minbase --arch=i386 --foreign "$I386_ROOT_SUITE" "$dir" "$I386_ROOT_MIRROR" \
        </dev/null >"$log" 2>&1 || return 1
    i386_programs_run "$dir" >>"$log" || return 1
    {
        I386_ROOT_BINDS="" i386_root_enter "$dir" /debootstrap/debootstrap --second-stage &&
            I386_ROOT_BINDS="" i386_root_enter "$dir" bash -c "
                set -e
                export DEBIAN_FRONTEND=noninteractive
                apt-get update -qq
                apt-get install -y -qq --no-install-recommends $I386_ROOT_PACKAGES
                apt-get clean
                rm -rf /var/lib/apt/lists/*"
    } </dev/null >>"$log" 2>&1 || return 1
    I386_ROOT_BINDS="" i386_root_enter "$dir" timeout 120 wine --version </dev/null >>"$log" 2>&1 || return 1
    i386_root_stamp >"$dir/$I386_ROOT_MARKER"
}

# i386_root_ready DIR: makes sure DIR holds a root to run 32-bit Wine in,
# making it when it cannot be verified. When 32-bit programs cannot run here
# or the root cannot be made, it fails and prints why, in one line; a
# complete root whose programs cannot run here is kept.
i386_root_ready() {
    local dir=$1
    if [ "$(id -u)" != 0 ]; then
        echo "the i386 root needs root rights (debootstrap, binfmt_misc, mount and PID namespaces)"
        return 1
    fi
    if [ "$(cat "$dir/$I386_ROOT_MARKER" 2>/dev/null)" = "$(i386_root_stamp)" ]; then
        i386_programs_run "$dir" || return 1
        i386_root_verified "$dir" && return 0
    fi
    say "Making the i386 root in $dir (about a minute, 0.9 GB; through qemu about 20 minutes) ..."
    local log=$dir.log
    rm -rf "$dir"
    mkdir -p "$dir"
    if ! i386_root_make "$dir" "$log"; then
        echo "the i386 root could not be made: $(grep -v '^\s*$' "$log" | tail -n 1) (see $log)"
        return 1
    fi
    rm -f "$log"
}
