#!/usr/bin/env bash
# Builds the release packages: build/package/nosaver-<version>-win32.zip,
# the Windows Installer package nosaver-<version>-win32.msi (packaging/), and
# the .sha256 of each beside it.
#
#   bash scripts/package.sh [--sign CERT.p12 --password-file FILE [--timestamp URL]]
#                           [--release-url URL [--homepage URL]] [--no-build] [--out DIR]
#
# --sign signs nosaver.exe with Authenticode (SHA-256) before it goes into
# the packages, and then the .msi itself, with the key and certificate in
# CERT.p12, whose password is the first line of FILE; --timestamp has an
# RFC 3161 server countersign them.
# --release-url URL also writes the package managers' manifests of these
# files into build/package/manifests (packaging/manifests.py): URL is where
# they will be published, with {version} for the version, e.g.
# https://example.org/nosaver/v{version}/. --homepage URL is the project's
# page that both manifests name, an https address; without it they name the
# folder that holds the versions' folders (https://example.org/nosaver/
# for the URL above). --homepage without --release-url is refused, as it
# would go nowhere.
# --no-build packages build/win32 as it is; --out DIR puts the package in
# DIR instead of build/package (the tests use both).
#
# The packages are made in a folder of their own and moved into place only
# when everything succeeded; before that any package of the same names is
# removed, so a failure leaves none.
set -euo pipefail

die() { echo "package.sh: $*" >&2; exit 1; }
cert="" password="" timestamp="" build=1 out="" url="" homepage=()
while [ $# -gt 0 ]; do
  case "$1" in
    --sign|--password-file|--timestamp|--out|--release-url|--homepage)
      [ $# -ge 2 ] || die "$1 needs a value" ;;&
    --sign) cert=$(realpath -m -- "$2") ;;
    --password-file) password=$(realpath -m -- "$2") ;;
    --timestamp) timestamp=$2 ;;
    --out) out=$(realpath -m -- "$2") ;;
    --release-url) url=$2 ;;
    --homepage) homepage=("$2") ;;
    --no-build) build=0; shift; continue ;;
    *) die "unknown argument $1" ;;
  esac
  shift 2
done
[ -n "$cert" ] || [ -z "$password$timestamp" ] || die "--password-file and --timestamp need --sign"
[ -z "$cert" ] || [ -n "$password" ] || die "--sign needs --password-file"
[ -n "$url" ] || [ ${#homepage[@]} = 0 ] || die "--homepage needs --release-url: only manifests name it"
unset NOSAVER_SIGNED_EXE # set below only to sign

cd "$(dirname "$0")/.."
[ -z "$url" ] ||
  problem=$(bash scripts/python.sh packaging/manifests.py check-url "$url" "${homepage[@]}" 2>&1) ||
  die "$problem"
[ "$build" = 0 ] || bash scripts/build.sh win32
out=${out:-$PWD/build/package}
cpack_value() { sed -n "s/^set($1 \"\\(.*\\)\")\$/\\1/p" build/win32/CPackConfig.cmake; }
name=$(cpack_value CPACK_PACKAGE_FILE_NAME)
version=$(cpack_value CPACK_PACKAGE_VERSION)
packages=("$name.zip" "$name.msi")
mkdir -p "$out"
for p in "${packages[@]}"; do rm -f "$out/$p" "$out/$p.sha256"; done
# Manifests name the hashes of the packages they came with.
rm -rf "$out/manifests"
work=$(mktemp -d "$out/.$name.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Signs the file $1 into $2; osslsigncode says why on its standard error
# when it cannot.
sign() {
  osslsigncode sign -pkcs12 "$cert" -readpass "$password" -h sha256 -n nosaver \
    ${timestamp:+-ts "$timestamp"} -in "$1" -out "$2" >/dev/null ||
    die "osslsigncode could not sign $(basename "$2")"
}

if [ -n "$cert" ]; then
  # osslsigncode signs with an expired certificate or one not meant for
  # code as readily as with a good one, so those are refused here first.
  # -legacy also reads files protected the older way (RC2), as
  # osslsigncode does.
  [ -f "$cert" ] && [ -r "$cert" ] || die "cannot read the certificate $cert"
  [ -f "$password" ] && [ -r "$password" ] || die "cannot read the password file $password"
  leaf=$(openssl pkcs12 -legacy -in "$cert" -passin "file:$password" -nokeys -clcerts 2>/dev/null) &&
    [ -n "$leaf" ] ||
    die "cannot read $cert with the password in $password: wrong password, or no PKCS#12 file with a certificate"
  openssl x509 -noout -checkend 0 <<<"$leaf" >/dev/null ||
    die "the certificate in $cert has expired ($(openssl x509 -noout -enddate <<<"$leaf"))"
  usage=$(openssl x509 -noout -ext extendedKeyUsage <<<"$leaf" 2>/dev/null | sed -n '2s/^ *//p')
  [[ $usage == *"Code Signing"* ]] ||
    die "the certificate in $cert is not for code signing (extended key usage: ${usage:-none})"
  sign build/win32/nosaver.exe "$work/nosaver.exe"
  chmod 755 "$work/nosaver.exe"
  # packaging/CMakeLists.txt puts this file into the zip in place of the build's.
  export NOSAVER_SIGNED_EXE=$work/nosaver.exe
fi
cpack --config build/win32/CPackConfig.cmake -B "$work" >/dev/null

# The .msi holds the same files as the zip, and CloseInstances.
bash scripts/python.sh packaging/msi.py ${NOSAVER_SIGNED_EXE:+--exe "$NOSAVER_SIGNED_EXE"} build/win32 \
  "$version" "$work/$name.msi"
if [ -n "$cert" ]; then
  mv "$work/$name.msi" "$work/unsigned.msi"
  sign "$work/unsigned.msi" "$work/$name.msi"
fi
(cd "$work" && sha256sum "$name.msi" > "$name.msi.sha256")

[ -z "$url" ] ||
  bash scripts/python.sh packaging/manifests.py write "$url" "$version" "$work" "$work/manifests" "${homepage[@]}"

for p in "${packages[@]}"; do mv "$work/$p" "$work/$p.sha256" "$out/"; done
[ -z "$url" ] || mv "$work/manifests" "$out/"
echo "made $out/$name.zip and $name.msi${cert:+, signed,} with their .sha256${url:+, and their manifests}"
