"""Authenticode image hash of a PE file: the digest Windows compares with a driver's signature
or with its catalog member.

The hash covers the whole file except the three places a signature changes: the optional
header's checksum, the certificate-table entry of the data directory, and the certificate table
itself (the WIN_CERTIFICATE records appended at the end of the file).
"""
import hashlib
import struct


class PeFormatError(ValueError):
    pass


def _certificate_layout(data):
    if len(data) < 0x40 or data[:2] != b"MZ":
        raise PeFormatError("no MZ header")
    nt = struct.unpack_from("<I", data, 0x3C)[0]
    if nt + 24 > len(data) or data[nt:nt + 4] != b"PE\0\0":
        raise PeFormatError("no PE signature")
    optional = nt + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    if magic == 0x20B:  # PE32+: the data directory follows 112 bytes of optional header
        directory = optional + 112
    elif magic == 0x10B:
        directory = optional + 96
    else:
        raise PeFormatError("unknown optional header magic 0x%x" % magic)
    checksum = optional + 64
    certificate_entry = directory + 4 * 8
    if certificate_entry + 8 > len(data):
        raise PeFormatError("data directory past the end of the file")
    table_offset, table_size = struct.unpack_from("<II", data, certificate_entry)
    if table_size and (table_offset < certificate_entry + 8 or
                       table_offset + table_size > len(data)):
        raise PeFormatError("certificate table outside the file")
    return checksum, certificate_entry, table_offset, table_size


def image_hash(data, algorithm="sha256"):
    """Digest of the file's bytes as Authenticode counts them."""
    checksum, certificate_entry, table_offset, table_size = _certificate_layout(data)
    digest = hashlib.new(algorithm)
    digest.update(data[:checksum])
    digest.update(data[checksum + 4:certificate_entry])
    if table_size:
        digest.update(data[certificate_entry + 8:table_offset])
        digest.update(data[table_offset + table_size:])
    else:
        digest.update(data[certificate_entry + 8:])
    return digest.digest()


def is_pe(data):
    try:
        _certificate_layout(data)
        return True
    except PeFormatError:
        return False
