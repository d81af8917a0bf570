#!/usr/bin/env python3
"""The signed release packages, made by scripts/package.sh --sign with
throwaway self-signed certificates. The packages signed with the good one
are checked like the unsigned ones, and their nosaver.exe is left as
WORK/nosaver.exe (with the certificate as WORK/cert.pem) for the tests that
run it; the other certificates and a wrong password are refused and leave
no package. A signed release is then checked against its commit the way
the maintainers' guide tells.

    check_signing.py SOURCE WIN32_BUILD VERSION WORK
"""
import os
import re
import shutil
import subprocess
import sys

from check_manifests import URL, check_manifests
from check_msi import check_msi
from check_package import check_checksum, check_contents, read
from report import check, failures, finish

# `openssl ca` issues the certificates, as in OpenSSL 3.0 only it can date
# one in the past.
CA_CONFIG = """[ca]
default_ca = test
[test]
database = index.txt
new_certs_dir = .
rand_serial = yes
unique_subject = no
default_md = sha256
policy = any
[any]
commonName = supplied
[codesign]
extendedKeyUsage = codeSigning
[server]
extendedKeyUsage = serverAuth
"""
# name: the extensions section above, the validity
CERTIFICATES = {
    "good": ("codesign", ["-days", "2"]),
    "server": ("server", ["-days", "2"]),
    "expired": ("codesign", ["-startdate", "20200101000000Z", "-enddate", "20200102000000Z"]),
}
# what is refused: certificate, password file, words of the error
REFUSED = {
    "a missing certificate": ("missing.p12", "password", "cannot read the certificate"),
    "a wrong password": ("good.p12", "wrong", "wrong password"),
    "a certificate not for code signing": ("server.p12", "password", "not for code signing"),
    "an expired certificate": ("expired.p12", "password", "has expired"),
}


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def run(*command, cwd=None):
    return subprocess.run(command, cwd=cwd, capture_output=True, text=True)


def check_signature(path, cert, offset):
    """osslsigncode verify accepts a signed file with the certificate, and
    refuses it with the byte at offset changed."""
    what = os.path.basename(path)
    verified = run("osslsigncode", "verify", "-CAfile", cert, "-in", path)
    check(verified.returncode == 0, "osslsigncode verify accepts %s with the certificate" % what,
          verified.stdout + verified.stderr)
    check(re.search(r"Message digest algorithm *: SHA256", verified.stdout)
          and "Text description: nosaver" in verified.stdout,
          "%s is signed with SHA-256, described as nosaver" % what, verified.stdout)
    tampered = bytearray(read(path))
    tampered[offset] ^= 1
    write(path + ".tampered", tampered)
    check(offset > 0 and run("osslsigncode", "verify", "-CAfile", cert, "-in",
                             path + ".tampered").returncode != 0,
          "and refuses it with one byte changed")
    os.remove(path + ".tampered")


def package(source, out, keys, certificate, password):
    return run("bash", os.path.join(source, "scripts", "package.sh"), "--no-build", "--out", out,
               "--sign", os.path.join(keys, certificate),
               "--password-file", os.path.join(keys, password), "--release-url", URL)


def main(source, build, version, work):
    name = "nosaver-%s-win32" % version
    shutil.rmtree(work, ignore_errors=True)
    keys = os.path.join(work, "keys")
    os.makedirs(keys)
    for file, text in (("ca.cnf", CA_CONFIG), ("index.txt", ""),
                       ("password", "test password\n"), ("wrong", "not the password\n")):
        write(os.path.join(keys, file), text.encode())
    commands = [["req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem",
                 "-subj", "/CN=nosaver test", "-out", "request.csr"]]
    for cert, (extensions, validity) in CERTIFICATES.items():
        commands += [["ca", "-batch", "-config", "ca.cnf", "-selfsign", "-keyfile", "key.pem",
                      "-in", "request.csr", "-notext", "-extensions", extensions, *validity,
                      "-out", cert + ".pem"],
                     ["pkcs12", "-export", "-inkey", "key.pem", "-in", cert + ".pem",
                      "-passout", "file:password", "-out", cert + ".p12"]]
    for command in commands:
        subprocess.run(["openssl", *command], cwd=keys, check=True, capture_output=True)

    out = os.path.join(work, "package")
    made = package(source, out, keys, "good.p12", "password")
    check(made.returncode == 0, "package.sh --sign makes the package", made.stderr)
    if failures:
        return finish("signed package")
    signed = check_contents(os.path.join(out, name + ".zip"), version)
    exe, cert = os.path.join(work, "nosaver.exe"), os.path.join(work, "cert.pem")
    write(exe, signed)
    shutil.copy(os.path.join(keys, "good.pem"), cert)

    unsigned = read(os.path.join(build, "nosaver.exe"))
    check_signature(exe, cert, len(unsigned) // 2)
    removed = os.path.join(keys, "removed.exe")
    run("osslsigncode", "remove-signature", "-in", exe, "-out", removed)
    check(os.path.exists(removed) and read(removed) == unsigned,
          "without its signature it is the unsigned build, byte for byte")

    msi = os.path.join(out, name + ".msi")
    check_checksum(msi)
    dll = read(os.path.join(build, "installer.dll"))
    check_msi(msi, version, signed, dll)
    check_signature(msi, cert, read(msi).find(b"the nosaver developers"))
    check_manifests(out, version)
    # Rebuilt from the commit around the release's own signed nosaver.exe,
    # the package's tables and streams are the release's, but for the
    # signature.
    rebuilt = os.path.join(keys, "rebuilt.msi")
    run(sys.executable, os.path.join(source, "packaging", "msi.py"), "--exe", exe, build, version,
        rebuilt)
    dumps = [os.path.join(keys, d) for d in ("release", "rebuilt")]
    for package_file, dump in zip((msi, rebuilt), dumps):
        os.makedirs(dump)
        # msidump -t writes the Binary table's streams into a Binary folder
        # of the working folder, whatever -d says.
        run("msidump", "-t", "-s", "-d", dump, package_file, cwd=dump)
    signature = [f for f in os.listdir(os.path.join(dumps[0], "_Streams")) if "DigitalSignature" in f]
    compared = run("diff", "-r", *["--exclude=" + f for f in signature], *dumps)
    check(signature and compared.returncode == 0,
          "rebuilt from the commit around its signed nosaver.exe, the package has the same tables "
          "and streams, the signature aside", (signature, compared.stdout[:500]))

    refused = os.path.join(work, "refused")
    os.makedirs(refused)
    for what, (certificate, password, words) in REFUSED.items():
        # A package made before, which a failed signing must not leave.
        for file in (name + ".zip", name + ".zip.sha256", name + ".msi", name + ".msi.sha256"):
            shutil.copy(os.path.join(out, file), refused)
        result = package(source, refused, keys, certificate, password)
        check(result.returncode != 0 and words in result.stderr and not os.listdir(refused),
              "%s is refused (%s) and leaves no package" % (what, words),
              (result.returncode, result.stderr, os.listdir(refused)))

    for folder in (keys, out, refused):
        shutil.rmtree(folder)
    return finish("%s: %d bytes signed, %d unsigned" % (exe, len(signed), len(unsigned)))


if __name__ == "__main__":
    if len(sys.argv) != 5:
        sys.exit("usage: check_signing.py SOURCE WIN32_BUILD VERSION WORK")
    sys.exit(main(*sys.argv[1:]))
