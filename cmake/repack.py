#!/usr/bin/env python3
"""Rewrites a .zip, .tar.gz or .deb in place so that the same files always give the same bytes.

Usage: repack.py ARCHIVE EPOCH

Entries go in order of name, each with the time EPOCH (seconds since 1970, UTC), owner root and
mode 0755 (folders and programs) or 0644; the gzip header holds neither a name nor a time. The
zip's times are UTC, with no extra fields for the time zone or owner of the machine that packed it.
A .deb, which cpack already makes that way, only gets fixed modes for its members.
"""
import gzip
import io
import stat
import sys
import tarfile
import time
import zipfile

ZIP_EPOCH = 315532800  # 1980-01-01, the earliest time a zip can hold


def mode_of(is_dir, mode):
    return 0o755 if is_dir or mode & 0o111 else 0o644


def repack_zip(path, epoch):
    with zipfile.ZipFile(path) as old:
        entries = [(info, old.read(info)) for info in old.infolist()]
    date_time = time.gmtime(max(epoch, ZIP_EPOCH))[:6]
    with zipfile.ZipFile(path, "w") as new:
        for info, data in sorted(entries, key=lambda entry: entry[0].filename):
            is_dir = info.is_dir()
            kind = stat.S_IFDIR if is_dir else stat.S_IFREG
            out = zipfile.ZipInfo(info.filename, date_time)
            out.create_system = 3  # Unix, so that unzip keeps the modes
            out.external_attr = (kind | mode_of(is_dir, info.external_attr >> 16)) << 16
            if is_dir:
                out.external_attr |= 0x10  # the MS-DOS folder attribute
            out.compress_type = zipfile.ZIP_STORED if is_dir else zipfile.ZIP_DEFLATED
            new.writestr(out, data, compresslevel=9)


def repack_tgz(path, epoch):
    with tarfile.open(path, "r:gz") as old:
        entries = []
        for member in old.getmembers():
            if not (member.isfile() or member.isdir()):
                sys.exit(f"{path}: {member.name} is neither a file nor a folder")
            data = old.extractfile(member).read() if member.isfile() else None
            entries.append((member, data))
    packed = io.BytesIO()
    with gzip.GzipFile(filename="", mode="wb", compresslevel=9, fileobj=packed, mtime=0) as gz:
        with tarfile.open(fileobj=gz, mode="w", format=tarfile.GNU_FORMAT) as new:
            for member, data in sorted(entries, key=lambda entry: entry[0].name):
                member.mtime = epoch
                member.uid = member.gid = 0
                member.uname = member.gname = "root"
                member.mode = mode_of(member.isdir(), member.mode)
                member.pax_headers = {}
                new.addfile(member, io.BytesIO(data) if data is not None else None)
    with open(path, "wb") as out:
        out.write(packed.getvalue())


def repack_deb(path):
    """A .deb is an ar archive, whose members cpack writes with the modes the umask gives them."""
    with open(path, "rb") as f:
        data = bytearray(f.read())
    if data[:8] != b"!<arch>\n":
        sys.exit(f"{path}: not an ar archive")
    at = 8
    while at < len(data):
        header = data[at:at + 60]
        if header[58:60] != b"`\n":
            sys.exit(f"{path}: a damaged ar header at {at}")
        data[at + 40:at + 48] = b"100644  "
        at += 60 + int(header[48:58])
        at += at % 2
    with open(path, "wb") as f:
        f.write(data)


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    path, epoch = sys.argv[1], int(sys.argv[2])
    if path.endswith(".zip"):
        repack_zip(path, epoch)
    elif path.endswith(".tar.gz"):
        repack_tgz(path, epoch)
    elif path.endswith(".deb"):
        repack_deb(path)
    else:
        sys.exit(f"{path}: neither a .zip, a .tar.gz nor a .deb")


if __name__ == "__main__":
    main()
