# Shared by scripts/release and scripts/verify-release: building the
# release's files from a source tree, and Authenticode signing. Needs
# common.sh first.

die() { say "$(basename "$0"): $*"; exit 1; }

# The product's version as the source tree's CMakeLists.txt (read from
# standard input) states it.
source_version() { sed -n 's/^project(Lindquell VERSION \([0-9.]*\).*/\1/p'; }

# tag_problem TAG COMMIT: nothing when TAG is an annotated tag of this
# repository whose target is COMMIT, else what is wrong, in one line.
tag_problem() {
    local tag=$1 commit=$2 type target
    type=$(git -C "$LINDQUELL_ROOT" cat-file -t "refs/tags/$tag" 2>/dev/null) || {
        echo "there is no tag $tag; a release is made from the commit that an annotated tag $tag names (git tag -a $tag)"
        return
    }
    [ "$type" = tag ] || { echo "$tag is a lightweight tag: a release needs an annotated tag (git tag -a $tag)"; return; }
    target=$(git -C "$LINDQUELL_ROOT" rev-parse "refs/tags/$tag^{commit}")
    [ "$target" = "$commit" ] || echo "tag $tag names commit $target, not $commit"
}

# The tools a rebuild needs, as BUILDINFO records them: the exact Debian
# package versions and the distribution. Two machines that print the same
# lines build the same bytes.
ReleaseTools="g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix gcc-mingw-w64-x86-64-posix gcc-mingw-w64-i686-posix
binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 mingw-w64-x86-64-dev mingw-w64-i686-dev mingw-w64-common
wixl msitools osslsigncode openssl cmake"
tool_versions() {
    local package
    for package in $ReleaseTools; do
        echo "package $package: $(dpkg-query -W -f '${Version}' "$package" 2>/dev/null || echo 'not installed')"
    done
    (. /etc/os-release && echo "system: $NAME $VERSION")
}

# fingerprint CERT: the SHA-256 fingerprint of a PEM certificate, 64
# upper-case hex digits.
fingerprint() { openssl x509 -in "$1" -noout -fingerprint -sha256 | sed 's/.*=//; s/://g'; }

# build_release SRC WORK: builds the executable and the package of both
# architectures from the source tree SRC, without tests, in WORK/x64 and
# WORK/x86. SOURCE_DATE_EPOCH must be set: it is every date the files keep.
build_release() {
    local arch
    for arch in x64 x86; do
        build_source=$1 build_tree "$2/$arch" $arch -DBUILD_TESTING=OFF || die "the $arch build failed"
    done
}

# The signing key, from the environment: none, a PKCS#12 file, or a PEM
# certificate chain with a key file or a key on a PKCS#11 token. Sets
# signing_args for osslsigncode, cms_args and cms_env for openssl cms (the
# signature of SHA256SUMS), signer_certificate and signer_chain, and
# signing_time: the source date, or now when a time-stamp server
# countersigns. Checks everything that can be checked
# before anything is built; says what is wrong in one line.
# check_signing_input WORK (a folder for the certificates it extracts).
check_signing_input() {
    local work=$1 leaf=$1/signer.pem chain=$1/chain.pem
    signing_args=() cms_args=() cms_env=()
    local pkcs12=${LINDQUELL_SIGN_PKCS12:-} certs=${LINDQUELL_SIGN_CERTS:-} key=${LINDQUELL_SIGN_KEY:-}
    local passfile=${LINDQUELL_SIGN_PASSFILE:-} module=${LINDQUELL_SIGN_PKCS11_MODULE:-}
    local url=${LINDQUELL_TIMESTAMP_URL:-}
    if [ -z "$pkcs12$certs$key" ]; then
        [ -z "$passfile$module$url" ] ||
            die "LINDQUELL_SIGN_PASSFILE, LINDQUELL_SIGN_PKCS11_MODULE and LINDQUELL_TIMESTAMP_URL need a key: set LINDQUELL_SIGN_PKCS12, or LINDQUELL_SIGN_CERTS and LINDQUELL_SIGN_KEY"
        return 0
    fi
    [ -z "$pkcs12" ] || [ -z "$certs$key" ] ||
        die "give either LINDQUELL_SIGN_PKCS12 or LINDQUELL_SIGN_CERTS with LINDQUELL_SIGN_KEY, not both"
    command -v openssl >/dev/null || die "signing needs openssl: apt-get install openssl"
    require_osslsigncode signing
    readable() { [ -f "$1" ] && [ -r "$1" ] || die "$2 names $1, which is not a readable file"; }

    if [ -n "$pkcs12" ]; then
        [ -n "$passfile" ] || die "LINDQUELL_SIGN_PKCS12 needs LINDQUELL_SIGN_PASSFILE, the file that holds its password"
        readable "$pkcs12" LINDQUELL_SIGN_PKCS12
        readable "$passfile" LINDQUELL_SIGN_PASSFILE
        local legacy opened=
        for legacy in "" -legacy; do
            openssl pkcs12 $legacy -in "$pkcs12" -passin "file:$passfile" -nokeys -clcerts -out "$leaf" 2>/dev/null &&
                openssl pkcs12 $legacy -in "$pkcs12" -passin "file:$passfile" -nokeys -cacerts -out "$chain" 2>/dev/null &&
                opened=yes && break
        done
        [ -n "$opened" ] && [ -s "$leaf" ] || die "$pkcs12 does not open with the password in $passfile (a wrong password, or not a PKCS#12 file)"
        signing_args=(-pkcs12 "$pkcs12" -readpass "$passfile")
        cms_args=(-inkey "$pkcs12" -passin "file:$passfile")
        # A PKCS#12 file of the old kind (RC2) opens only with OpenSSL's
        # legacy algorithms.
        [ -z "$legacy" ] || cms_args+=(-provider legacy -provider default)
    else
        [ -n "$certs" ] && [ -n "$key" ] || die "LINDQUELL_SIGN_CERTS and LINDQUELL_SIGN_KEY go together: set both"
        readable "$certs" LINDQUELL_SIGN_CERTS
        openssl x509 -in "$certs" -out "$leaf" 2>/dev/null ||
            die "$certs holds no PEM certificate (LINDQUELL_SIGN_CERTS: the signing certificate first, then its chain)"
        # The chain: every certificate after the first.
        awk '/-----BEGIN CERTIFICATE-----/ { n++ } n > 1' "$certs" >"$chain"
        signing_args=(-certs "$certs" -key "$key")
        cms_args=(-inkey "$key")
        if [[ $key == pkcs11:* ]]; then
            [ -n "$module" ] || die "a pkcs11: key needs LINDQUELL_SIGN_PKCS11_MODULE, the token's PKCS#11 library"
            readable "$module" LINDQUELL_SIGN_PKCS11_MODULE
            signing_args=(-pkcs11module "$module" "${signing_args[@]}")
            # OpenSSL's PKCS#11 engine, told which library through a
            # configuration of its own.
            printf 'openssl_conf = init\n[init]\nengines = engines\n[engines]\npkcs11 = pkcs11\n[pkcs11]\nMODULE_PATH = %s\n' \
                "$module" >"$work/engine.cnf"
            cms_args=(-engine pkcs11 -keyform engine -inkey "$key")
            cms_env=("OPENSSL_CONF=$work/engine.cnf")
        else
            [ -z "$module" ] || die "LINDQUELL_SIGN_PKCS11_MODULE is set, but LINDQUELL_SIGN_KEY is no pkcs11: URI"
            readable "$key" LINDQUELL_SIGN_KEY
            local passin=pass:
            [ -z "$passfile" ] || passin=file:$passfile
            openssl pkey -in "$key" -passin "$passin" -pubout -out "$work/key.pub" 2>/dev/null ||
                die "$key is no PEM key that opens${passfile:+ with the password in $passfile}"
            cmp -s "$work/key.pub" <(openssl x509 -in "$leaf" -noout -pubkey) ||
                die "$key is not the key of the first certificate in $certs"
        fi
        if [ -n "$passfile" ]; then
            readable "$passfile" LINDQUELL_SIGN_PASSFILE
            signing_args+=(-readpass "$passfile")
            cms_args+=(-passin "file:$passfile")
        fi
    fi

    # A signature without a time stamp dies with its certificate.
    local now
    now=$(date +%s)
    signing_time=$SOURCE_DATE_EPOCH
    if [ -n "$url" ]; then
        signing_time=$now
        signing_args+=(-ts "$url")
    elif [ "${LINDQUELL_SIGN_NO_TIMESTAMP:-}" = 1 ]; then
        signing_args+=(-time "$SOURCE_DATE_EPOCH")
    else
        die "a signed release needs LINDQUELL_TIMESTAMP_URL, an RFC 3161 time-stamp server, or its signatures end with the certificate (LINDQUELL_SIGN_NO_TIMESTAMP=1 signs without one)"
    fi
    openssl x509 -in "$leaf" -noout -ext extendedKeyUsage 2>/dev/null | grep -q "Code Signing" ||
        die "the signing certificate in ${pkcs12:-$certs} is not for code signing (no extended key usage codeSigning)"
    local from until when
    from=$(date -d "$(openssl x509 -in "$leaf" -noout -startdate | cut -d= -f2)" +%s)
    until=$(date -d "$(openssl x509 -in "$leaf" -noout -enddate | cut -d= -f2)" +%s)
    valid() { [ "$1" -ge "$from" ] && [ "$1" -le "$until" ]; }
    when="$(date -u -d "@$from" +%F) to $(date -u -d "@$until" +%F)"
    valid "$signing_time" ||
        die "the signing certificate is valid from $when, not at the signing time $(date -u -d "@$signing_time" '+%F %T') UTC, $([ -n "$url" ] && echo now || echo the source date)"
    valid "$now" || die "the signing certificate is valid from $when, not now: Windows would reject the release"
    # The verifier checks each signature against the certificates it
    # carries: they must reach a root (a self-signed certificate is its own).
    openssl verify -CAfile <(cat "$chain" "$leaf") -purpose any -no_check_time "$leaf" >/dev/null 2>&1 ||
        die "the certificates in ${pkcs12:-$certs} do not lead from the signing certificate to a root: give the whole chain, root included"
    signer_certificate=$leaf signer_chain=$chain
}

signing() { [ ${#signing_args[@]} -gt 0 ]; }

# require_osslsigncode WHAT: dies, saying what to do, unless osslsigncode is
# 2.8 or later: 2.5 (Debian 12's main archive) can neither sign PowerShell
# scripts nor read their signatures.
require_osslsigncode() {
    osslsigncode_recent && return 0
    local found
    found=$(osslsigncode_version)
    die "$1 needs osslsigncode $OsslsigncodeMinimum or later; this machine has ${found:-none}. On Debian 12: add bookworm-backports to apt's sources and run apt-get install -t bookworm-backports osslsigncode (this script does so itself when it may run apt-get, as root or with sudo); elsewhere install osslsigncode $OsslsigncodeMinimum or later"
}

# package_options FILE: sets file_options to what osslsigncode needs for
# FILE beyond the signature itself: a package also carries the
# MsiDigitalSignatureEx stream, when signed and when a signature is attached
# again alike, or the bytes differ.
package_options() {
    file_options=()
    [[ $1 != *.msi ]] || file_options=(-add-msi-dse)
}

# sign_file IN OUT: Authenticode with SHA-256 and the product's name; a
# package also gets the MsiDigitalSignatureEx stream. A failure says why in
# one line, without OpenSSL's stack of errors.
sign_file() {
    local output file_options
    package_options "$1"
    output=$(osslsigncode sign -h sha256 -n QORV-Lindquell "${signing_args[@]}" "${file_options[@]}" -in "$1" -out "$2" 2>&1) &&
        return
    rm -f "$2"
    if grep -qi "timestamping failed\|timestamp.*fail\|Failed to.*timestamp" <<<"$output"; then
        die "signing $(basename "$1") failed: no time stamp from $LINDQUELL_TIMESTAMP_URL ($(grep -m 1 -i 'HTTP failure\|failed\|error' <<<"$output" | sed 's/^[0-9A-F]*:error:[0-9A-F]*://' || echo 'no answer'))"
    fi
    local reason
    reason=$(grep -v -e '^[0-9A-F]*:error:' -e '^Failed$' <<<"$output" | grep -m 1 -i fail) ||
        reason=$(grep -v -e '^$' -e '^[0-9A-F]*:error:' <<<"$output" | tail -n 1)
    die "signing $(basename "$1") failed: $reason"
}

# sign_sums SUMS OUT: a detached CMS signature (DER) of SHA256SUMS, made
# with the key that signs the files, carrying the same certificates.
sign_sums() {
    local output
    if ! output=$(env "${cms_env[@]}" openssl cms -sign -binary -outform DER -md sha256 -in "$1" -out "$2" \
        -signer "$signer_certificate" -certfile "$signer_chain" "${cms_args[@]}" 2>&1); then
        rm -f "$2"
        die "signing SHA256SUMS failed: $(grep -v '^Engine ' <<<"$output" | head -n 1)"
    fi
}
