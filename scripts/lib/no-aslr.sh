# Sourced first by every script that starts Wine, and by the CTest wrapper:
# re-runs the sourcing script without address-space randomization.
#
# Debian's Wine has no preloader, so nothing keeps the kernel from putting
# the heap of its loader (a program fixed at 0x7d000000) anywhere in the
# gigabyte above it, over 0x7ffe0000 too, where Wine must map its shared
# user data. That start then ends at once with exit code 1, silently under
# WINEDEBUG=-all: one start in several thousand, and a test run starts
# many. Without randomization the heap stays just above the loader. Every
# Wine process the script starts, and every process those start, inherits
# it. Where the system refuses (some container profiles do), the script
# runs as before.
if [ $((0x$(cat /proc/self/personality) & 0x0040000)) -eq 0 ] &&
    setarch -R true 2>/dev/null; then
    exec setarch -R bash "$0" "$@"
fi
