#!/usr/bin/env python3
"""Builds an unsigned driver catalog: a PKCS#7 signed-data (no signer yet; osslsigncode adds
the signature) whose certificate trust list holds one member per package file.

A PE file is listed by its Authenticode image hash, any other file by the SHA-256 of its bytes,
as Windows's catalog tools list them. The catalog carries the OS attribute of the Windows
versions the INF installs on and the hardware ids it serves; each member carries its file name
and the OS versions as an OSAttr pair.

The OS attributes and hardware ids come from the INF among the files: every x64 Windows
version from the oldest its models decorations name.

Usage: make_catalog.py --output FILE FILE...   (one of the files an .inf)
"""
import argparse
import datetime
import hashlib
import os
import sys

from asn1crypto import core, x509

import catalog_asn1 as cat
import inf_reader
from pe_hash import image_hash, is_pe

# x64 Windows versions: (major, minor), the catalog OS name, the member OSAttr entry
# (2 = the NT platform).
WINDOWS_X64 = [
    ((6, 0), "VistaX64", "2:6.0"),
    ((6, 1), "7X64", "2:6.1"),
    ((6, 2), "8X64", "2:6.2"),
    ((6, 3), "_v63_X64", "2:6.3"),
    ((10, 0), "_v100_X64", "2:10.0"),
]


def oldest_windows(inf):
    """The oldest Windows version the INF's models decorations offer the driver to."""
    oldest = None
    for decoration, _ in inf_reader.models_sections(inf):
        parts = decoration.split(".")
        if parts[0].lower() != "ntamd64":
            continue
        version = tuple(int(p) for p in parts[1:3]) if len(parts) >= 3 else (6, 0)
        oldest = version if oldest is None else min(oldest, version)
    if oldest is None:
        raise SystemExit("the INF offers the driver to no x64 Windows")
    return oldest


def os_attributes(inf):
    oldest = oldest_windows(inf)
    versions = [(name, attr) for version, name, attr in WINDOWS_X64 if version >= oldest]
    return ",".join(n for n, _ in versions), ",".join(a for _, a in versions)


def name_value(name, value):
    return cat.NameValue({"name": name, "flags": cat.NAME_VALUE_FLAGS,
                          "value": cat.utf16z(value)})


def attribute(oid, value):
    return cat.CatalogAttribute({"type": oid, "values": [core.Any.load(value.dump())]})


def indirect_data(data_type, data_value, digest):
    return cat.SpcIndirectDataContent({
        "data": {"type": data_type, "value": core.Any.load(data_value.dump())},
        "message_digest": {"digest_algorithm": {"algorithm": "sha256", "parameters": core.Null()},
                           "digest": digest},
    })


def member(path, os_attr):
    data = open(path, "rb").read()
    obsolete = cat.SpcLink({"file": cat.SpcString({"unicode": "<<<Obsolete>>>"})})
    if is_pe(data):
        digest = image_hash(data)
        subject = cat.SpcPeImageData({"flags": (), "file": obsolete})
        data_type, sip = cat.OID_PE_IMAGE_DATA, cat.SIP_PE_IMAGE
    else:
        digest = hashlib.sha256(data).digest()
        subject, data_type, sip = obsolete, cat.OID_FLAT_FILE_DATA, cat.SIP_FLAT_FILE
    # The member's tag is its digest in upper-case hex, as a wide string.
    tag = digest.hex().upper().encode("utf-16-le")
    attributes = [
        attribute(cat.OID_NAME_VALUE, name_value("File", os.path.basename(path))),
        attribute(cat.OID_NAME_VALUE, name_value("OSAttr", os_attr)),
        attribute(cat.OID_INDIRECT_DATA, indirect_data(data_type, subject, digest)),
        attribute(cat.OID_MEMBER_INFO, cat.MemberInfo({"subject_guid": sip,
                                                       "cert_version": cat.MEMBER_CERT_VERSION})),
    ]
    return digest, cat.TrustedSubject({"identifier": tag, "attributes": attributes})


def catalog_extension(value):
    return x509.Extension({"extn_id": cat.OID_NAME_VALUE, "critical": False,
                           "extn_value": value.dump()})


def build(paths, os_names, os_attr, hardware_ids, when):
    members = [member(path, os_attr) for path in paths]
    # The list identifier only has to be unique to this catalog: derive it from the members.
    identifier = hashlib.sha256(b"".join(digest for digest, _ in members)).digest()[:16]
    extensions = [catalog_extension(name_value("OS", os_names))]
    extensions += [catalog_extension(name_value("HWID%d" % (i + 1), hwid.lower()))
                   for i, hwid in enumerate(hardware_ids)]
    trust_list = cat.CertificateTrustList({
        "subject_usage": [cat.OID_CATALOG_LIST],
        "list_identifier": identifier,
        "this_update": when,
        "subject_algorithm": {"type": cat.OID_CATALOG_LIST_MEMBER2, "value": core.Null()},
        "trusted_subjects": [subject for _, subject in members],
        "extensions": extensions,
    })
    return cat.Catalog({
        "content_type": cat.OID_SIGNED_DATA,
        "content": {
            "version": 1,
            "digest_algorithms": [{"algorithm": "sha256", "parameters": core.Null()}],
            "content_info": {"content_type": cat.OID_CTL, "content": trust_list},
            "signer_infos": [],
        },
    })


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--output", required=True)
    parser.add_argument("files", nargs="+")
    args = parser.parse_args()
    infs = [path for path in args.files if path.lower().endswith(".inf")]
    if len(infs) != 1:
        parser.error("exactly one of the files must be the INF")
    inf = inf_reader.parse(open(infs[0], encoding="utf-8-sig").read())
    os_names, os_attr = os_attributes(inf)
    # SOURCE_DATE_EPOCH makes the catalog reproducible; otherwise it is dated now.
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    when = (datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc) if epoch
            else datetime.datetime.now(datetime.timezone.utc)).replace(microsecond=0)
    catalog = build(args.files, os_names, os_attr, inf_reader.hardware_ids(inf), when)
    with open(args.output, "wb") as out:
        out.write(catalog.dump())
    return 0


if __name__ == "__main__":
    sys.exit(main())
