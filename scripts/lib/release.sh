# Shared by scripts/release and scripts/verify-release: building the
# release's files from a source tree, and Authenticode signing. Needs
# common.sh first.

die() { say "$(basename "$0"): $*"; exit 1; }

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
# signing_args for osslsigncode, and signing_time: the source date, or now
# when a time-stamp server countersigns. Checks everything that can be
# checked before anything is built; says what is wrong in one line.
# check_signing_input WORK (a folder for the certificate it extracts).
check_signing_input() {
    local work=$1 leaf=$1/signer.pem
    signing_args=()
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
    command -v osslsigncode >/dev/null && command -v openssl >/dev/null ||
        die "signing needs osslsigncode and openssl: apt-get install osslsigncode openssl"
    readable() { [ -f "$1" ] && [ -r "$1" ] || die "$2 names $1, which is not a readable file"; }

    if [ -n "$pkcs12" ]; then
        [ -n "$passfile" ] || die "LINDQUELL_SIGN_PKCS12 needs LINDQUELL_SIGN_PASSFILE, the file that holds its password"
        readable "$pkcs12" LINDQUELL_SIGN_PKCS12
        readable "$passfile" LINDQUELL_SIGN_PASSFILE
        openssl pkcs12 -in "$pkcs12" -passin "file:$passfile" -nokeys -clcerts -out "$leaf" 2>/dev/null ||
            openssl pkcs12 -legacy -in "$pkcs12" -passin "file:$passfile" -nokeys -clcerts -out "$leaf" 2>/dev/null ||
            die "$pkcs12 does not open with the password in $passfile (a wrong password, or not a PKCS#12 file)"
        signing_args=(-pkcs12 "$pkcs12" -readpass "$passfile")
    else
        [ -n "$certs" ] && [ -n "$key" ] || die "LINDQUELL_SIGN_CERTS and LINDQUELL_SIGN_KEY go together: set both"
        readable "$certs" LINDQUELL_SIGN_CERTS
        openssl x509 -in "$certs" -out "$leaf" 2>/dev/null ||
            die "$certs holds no PEM certificate (LINDQUELL_SIGN_CERTS: the signing certificate first, then its chain)"
        signing_args=(-certs "$certs" -key "$key")
        if [[ $key == pkcs11:* ]]; then
            [ -n "$module" ] || die "a pkcs11: key needs LINDQUELL_SIGN_PKCS11_MODULE, the token's PKCS#11 library"
            readable "$module" LINDQUELL_SIGN_PKCS11_MODULE
            signing_args=(-pkcs11module "$module" "${signing_args[@]}")
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
        fi
    fi

    signing_time=$SOURCE_DATE_EPOCH
    if [ -n "$url" ]; then
        signing_time=$(date +%s)
        signing_args+=(-ts "$url")
    else
        signing_args+=(-time "$SOURCE_DATE_EPOCH")
    fi
    openssl x509 -in "$leaf" -noout -ext extendedKeyUsage 2>/dev/null | grep -q "Code Signing" ||
        die "the signing certificate in ${pkcs12:-$certs} is not for code signing (no extended key usage codeSigning)"
    local from until
    from=$(date -d "$(openssl x509 -in "$leaf" -noout -startdate | cut -d= -f2)" +%s)
    until=$(date -d "$(openssl x509 -in "$leaf" -noout -enddate | cut -d= -f2)" +%s)
    [ "$signing_time" -ge "$from" ] && [ "$signing_time" -le "$until" ] ||
        die "the signing certificate is valid from $(date -u -d "@$from" +%F) to $(date -u -d "@$until" +%F), not at the signing time $(date -u -d "@$signing_time" '+%F %T') UTC${url:+ (now)}${url:-, the source date}"
}

signing() { [ ${#signing_args[@]} -gt 0 ]; }

# sign_file IN OUT: Authenticode with SHA-256 and the product's name. A
# failure says why in one line, without OpenSSL's stack of errors.
sign_file() {
    local output
    output=$(osslsigncode sign -h sha256 -n QORV-Lindquell "${signing_args[@]}" -in "$1" -out "$2" 2>&1) && return
    rm -f "$2"
    if grep -q "timestamping failed" <<<"$output"; then
        die "signing $(basename "$1") failed: no time stamp from $LINDQUELL_TIMESTAMP_URL ($(grep -m 1 'HTTP failure' <<<"$output" || echo 'no answer'))"
    fi
    local reason
    reason=$(grep -v -e '^[0-9A-F]*:error:' -e '^Failed$' <<<"$output" | grep -m 1 -i fail) ||
        reason=$(grep -v -e '^$' -e '^[0-9A-F]*:error:' <<<"$output" | tail -n 1)
    die "signing $(basename "$1") failed: $reason"
}
