#!/usr/bin/env python3
"""Reads a driver catalog back: its members (file name, tag, subject interface package, digest
and digest algorithm, attributes), the catalog's own attributes, and who signed it.

With --check FILE..., also hashes each file as Windows does (a PE file by its Authenticode image
hash, any other file whole, SHA-256) and fails unless a member of that file name carries that
digest.

Usage: read_catalog.py CATALOG [--check FILE...]
"""
import argparse
import hashlib
import os
import sys

from asn1crypto import cms

import catalog_asn1 as cat
from pe_hash import image_hash, is_pe


def name_value(value):
    pair = cat.NameValue.load(value.dump())
    return pair["name"].native, pair["flags"].native, cat.from_utf16z(pair["value"].native)


def read_member(subject):
    member = {"tag": subject["identifier"].native.decode("utf-16-le"), "pairs": {}}
    for attribute in subject["attributes"]:
        oid = attribute["type"].dotted
        value = attribute["values"][0]
        if oid == cat.OID_NAME_VALUE:
            name, flags, text = name_value(value)
            member["pairs"][name] = (text, flags)
        elif oid == cat.OID_MEMBER_INFO:
            info = cat.MemberInfo.load(value.dump())
            member["sip"] = info["subject_guid"].native
            member["cert_version"] = info["cert_version"].native
        elif oid == cat.OID_INDIRECT_DATA:
            data = cat.SpcIndirectDataContent.load(value.dump())
            member["data_type"] = data["data"]["type"].dotted
            member["algorithm"] = data["message_digest"]["digest_algorithm"]["algorithm"].native
            member["digest"] = data["message_digest"]["digest"].native
    return member


def read(path):
    catalog = cat.Catalog.load(open(path, "rb").read())
    signed = catalog["content"]
    content = signed["content_info"]
    if content["content_type"].dotted != cat.OID_CTL:
        raise SystemExit("%s: content is not a certificate trust list" % path)
    trust_list = content["content"]
    members = [read_member(subject) for subject in trust_list["trusted_subjects"]]
    pairs = {}
    for extension in trust_list["extensions"] or []:
        if extension["extn_id"].dotted == cat.OID_NAME_VALUE:
            name, flags, text = name_value(extension["extn_value"].parsed)
            pairs[name] = (text, flags)
    signers = []
    for info in signed["signer_infos"]:
        signer = cms.SignerInfo.load(info.dump())
        signers.append((signer["sid"].chosen["issuer"].human_friendly,
                        signer["digest_algorithm"]["algorithm"].native))
    return {
        "usage": [oid.dotted for oid in trust_list["subject_usage"]],
        "member_algorithm": trust_list["subject_algorithm"]["type"].dotted,
        "this_update": trust_list["this_update"].native,
        "pairs": pairs,
        "members": members,
        "signers": signers,
    }


def file_digest(path):
    data = open(path, "rb").read()
    return image_hash(data) if is_pe(data) else hashlib.sha256(data).digest()


def report(catalog):
    print("catalog list %s, members %s, dated %s" % (
        ",".join(catalog["usage"]), catalog["member_algorithm"], catalog["this_update"]))
    for name, (text, flags) in catalog["pairs"].items():
        print("  catalog attribute %s = %s (flags 0x%08X)" % (name, text, flags))
    for member in catalog["members"]:
        print("member %s" % member["pairs"].get("File", ("?", 0))[0])
        print("  tag %s" % member["tag"])
        print("  subject %s (%s), cert version %s" % (
            member.get("sip"), member.get("data_type"), member.get("cert_version")))
        print("  digest %s %s" % (member.get("algorithm"), member.get("digest", b"").hex()))
        for name, (text, flags) in member["pairs"].items():
            print("  attribute %s = %s (flags 0x%08X)" % (name, text, flags))
    for issuer, algorithm in catalog["signers"]:
        print("signed (%s) by %s" % (algorithm, issuer))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("catalog")
    parser.add_argument("--check", nargs="+", default=[])
    args = parser.parse_args()
    catalog = read(args.catalog)
    report(catalog)
    failed = 0
    for path in args.check:
        name = os.path.basename(path).lower()
        members = [m for m in catalog["members"]
                   if m["pairs"].get("File", ("", 0))[0].lower() == name]
        digest = file_digest(path)
        if not members:
            print("check %s: no member of that name" % path)
            failed = 1
        elif not any(m.get("algorithm") == "sha256" and m.get("digest") == digest and
                     m["tag"] == digest.hex().upper() for m in members):
            print("check %s: sha256 %s is not the catalog's" % (path, digest.hex()))
            failed = 1
        else:
            print("check %s: sha256 %s matches" % (path, digest.hex()))
    return failed


if __name__ == "__main__":
    sys.exit(main())
