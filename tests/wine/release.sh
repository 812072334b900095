#!/usr/bin/env bash
# The release files as a user checks them: a second build of the commit in another folder gives the same
# bytes, and a package signed with a throwaway certificate verifies, while a changed byte does not.
# Usage: release.sh rebuild SOURCE_DIR BUILD_DIR WORK_DIR   (BUILD_DIR: the windows preset's, packaged)
#        release.sh sign BUILD_DIR WORK_DIR                 (leaves WORK_DIR/sign/pkg, the signed package)
set -euo pipefail

FAILURES=0
check() {
    local what=$1
    shift
    if "$@"; then echo "ok   $what"; else echo "FAIL $what" && FAILURES=$((FAILURES + 1)); fi
}
fatal() { echo "FAIL $* (cannot go on)" && exit 1; }
fails() { ! "$@" >/dev/null 2>&1; }
lacks() { [[ $1 != *"$2"* ]]; }
# osslsigncode verify's report: the signature's digest and the description shown as the program's name.
sha256_and_orvane() { grep -q '^Message digest algorithm  : SHA256' <<<"$1" && grep -q 'Text description: Orvane$' <<<"$1"; }
same_msi_tables() {
    mkdir -p "$3/msi-1" "$3/msi-2" && msidump -t -d "$3/msi-1" "$1" >/dev/null && msidump -t -d "$3/msi-2" "$2" >/dev/null &&
        diff -r -x '_SummaryInformation*' "$3/msi-1" "$3/msi-2"
}
CMAKE=${ORVANE_CMAKE:-cmake}
CPACK=${ORVANE_CPACK:-cpack}

# A clone of the source's commit in a folder of its own, with the work tree's files laid over it so that
# uncommitted changes are built too; the clone's own .git gives it the same commit time.
rebuild() {
    local source=$1 build=$2 work=$3/rebuild copy=$3/rebuild/src file name
    rm -rf "$work" && mkdir -p "$work"
    git clone -q --no-checkout "$source" "$copy" && git -C "$copy" checkout -q --detach "$(git -C "$source" rev-parse HEAD)"
    (cd "$source" && git ls-files -z --cached --others --exclude-standard |
        while IFS= read -r -d '' name; do [[ ! -e $name ]] || cp --parents -- "$name" "$copy/"; done)
    (cd "$copy" && "$CMAKE" --preset windows -DORVANE_LINT=OFF && "$CMAKE" --build --preset windows --target package) \
        >"$work/build.log" 2>&1 || fatal "the second build (log: $work/build.log)"
    check "the second build is made from $copy" grep -qx "CMAKE_HOME_DIRECTORY:INTERNAL=$copy" "$copy/build/windows/CMakeCache.txt"
    for file in "$build"/OrvaneService.exe "$build"/OrvaneSetup.exe "$build"/OrvaneSetupActions.dll "$build"/*.zip; do
        name=${file##*/}
        check "$name: $(stat -c %s "$file") bytes, sha256 $(sha256sum <"$file" | cut -c1-16)..., equal in both builds" \
            cmp "$file" "$copy/build/windows/$name"
    done
    # wixl writes a fresh package code and the current time into the MSI's summary; its tables must agree.
    for file in "$build"/*.msi; do
        [[ -f $file ]] || continue
        check "${file##*/}: the same tables in both builds" same_msi_tables "$file" "$copy/build/windows/${file##*/}" "$work"
    done
    check "sha256sum -c SHA256SUMS" bash -c "cd '$build' && sha256sum -c SHA256SUMS"
}

# A throwaway self-signed code-signing certificate, the package step's own CPack configuration run with it
# into a folder of its own, and the result checked as a user would check a download.
sign() {
    local build=$1 work=$2/sign pkg=$2/sign/pkg out exe program password byte
    rm -rf "$work" && mkdir -p "$work"
    password=$(openssl rand -hex 16)
    printf '%s\n' "$password" >"$work/password"
    openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
        -subj "/CN=Orvane throwaway test signing" -addext "extendedKeyUsage=codeSigning" \
        -addext "keyUsage=critical,digitalSignature" >/dev/null 2>&1 || fatal "make the certificate"
    openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/cert.p12" \
        -passout "file:$work/password" || fatal "make the PKCS#12 file"
    out=$("$CPACK" --config "$build/CPackConfig.cmake" -B "$pkg" -D "CPACK_ORVANE_SIGN_PKCS12=$work/cert.p12" \
        -D "CPACK_ORVANE_SIGN_PASSWORD_FILE=$work/password" 2>&1) || fatal "the signed package: $out"
    check "the password is not in the package step's output" lacks "$out" "$password"
    mkdir -p "$work/unpacked"
    (cd "$work/unpacked" && "$CMAKE" -E tar xf "$pkg"/*.zip) || fatal "unpack the package"
    for program in OrvaneService OrvaneSetup; do
        exe=$(echo "$work/unpacked"/*/"$program.exe")
        out=$(osslsigncode verify -CAfile "$work/cert.pem" -in "$exe" 2>&1) || true
        check "$program.exe from the ZIP verifies against the certificate" grep -q '^Signature verification: ok' <<<"$out"
        check "$program.exe: SHA-256, described as Orvane" sha256_and_orvane "$out"
        osslsigncode remove-signature -in "$exe" -out "$work/$program.unsigned.exe" >/dev/null
        check "$program.exe without its signature is the unsigned build" cmp "$work/$program.unsigned.exe" "$build/$program.exe"
        # One byte of the code, inverted.
        cp "$exe" "$work/$program.changed.exe"
        byte=$(od -An -tu1 -j4200 -N1 "$exe")
        printf '%b' "\\x$(printf %02x $((byte ^ 255)))" | dd of="$work/$program.changed.exe" bs=1 seek=4200 conv=notrunc status=none
        check "$program.exe with one byte changed is rejected" \
            fails osslsigncode verify -CAfile "$work/cert.pem" -in "$work/$program.changed.exe"
    done
    for exe in "$pkg"/*.msi; do
        [[ -f $exe ]] || continue
        check "${exe##*/} verifies against the certificate" osslsigncode verify -CAfile "$work/cert.pem" -in "$exe"
        # The programs the MSI installs are the signed ones too, not the build's.
        mkdir -p "$work/msi" && msiextract -C "$work/msi" "$exe" >/dev/null || fatal "unpack the MSI"
        for program in OrvaneService OrvaneSetup; do
            check "$program.exe from the MSI verifies against the certificate" \
                osslsigncode verify -CAfile "$work/cert.pem" -in "$(echo "$work/msi"/*/service/"$program.exe")"
        done
        # And so is the custom actions' DLL in its Binary table.
        mkdir -p "$work/streams" && msidump -s -d "$work/streams" "$exe" >/dev/null || fatal "dump the MSI's streams"
        check "the custom actions' DLL in the MSI verifies against the certificate" \
            osslsigncode verify -CAfile "$work/cert.pem" -in "$work/streams/_Streams/Binary.OrvaneSetupActions"
    done
    check "sha256sum -c SHA256SUMS over the signed package" bash -c "cd '$pkg' && sha256sum -c SHA256SUMS"

    # A wrong password and a missing certificate each fail the step and say what to check.
    printf 'not-%s\n' "$password" >"$work/wrong-password"
    out=$("$CPACK" --config "$build/CPackConfig.cmake" -B "$work/wrong" -D "CPACK_ORVANE_SIGN_PKCS12=$work/cert.p12" \
        -D "CPACK_ORVANE_SIGN_PASSWORD_FILE=$work/wrong-password" 2>&1) && fatal "a wrong password fails the step"
    check "a wrong password: the step says so" grep -q 'check the certificate' <<<"$out"
    check "a wrong password: no password in the output" lacks "$out" "$password"
    out=$("$CPACK" --config "$build/CPackConfig.cmake" -B "$work/missing" -D "CPACK_ORVANE_SIGN_PKCS12=$work/none.p12" 2>&1) &&
        fatal "a missing certificate fails the step"
    check "a missing certificate: the step says so" grep -q 'ORVANE_SIGN_PKCS12 names no file' <<<"$out"
    check "a failed step leaves no SHA256SUMS" test ! -e "$work/wrong/SHA256SUMS" -a ! -e "$work/missing/SHA256SUMS"
}

case $1 in
rebuild) rebuild "$(realpath "$2")" "$(realpath "$3")" "$(realpath -m "$4")" ;;
sign) sign "$(realpath "$2")" "$(realpath -m "$3")" ;;
*) fatal "unknown mode: $1" ;;
esac
((FAILURES == 0)) || fatal "release $1: $FAILURES failed checks"
echo "PASSED release $1"
