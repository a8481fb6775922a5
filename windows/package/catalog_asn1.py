"""ASN.1 of a Windows catalog, declared on asn1crypto.

A catalog is a PKCS#7 signed-data whose content (type szOID_CTL) is a certificate trust list:
one trusted subject per member file, each with its attributes (indirect data carrying the
file's digest, member info naming the subject interface package, name-value pairs), and the
catalog's own name-value pairs as extensions of the list.
"""
from asn1crypto import algos, core, x509

OID_SIGNED_DATA = "1.2.840.113549.1.7.2"
OID_CTL = "1.3.6.1.4.1.311.10.1"
OID_CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"
OID_CATALOG_LIST_MEMBER2 = "1.3.6.1.4.1.311.12.1.3"  # catalog version 2: SHA-256 members
OID_NAME_VALUE = "1.3.6.1.4.1.311.12.2.1"
OID_MEMBER_INFO = "1.3.6.1.4.1.311.12.2.2"
OID_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
OID_PE_IMAGE_DATA = "1.3.6.1.4.1.311.2.1.15"
OID_FLAT_FILE_DATA = "1.3.6.1.4.1.311.2.1.25"  # what catalogs record for files hashed whole

# Subject interface packages: how Windows hashes the member.
SIP_PE_IMAGE = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}"
SIP_FLAT_FILE = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}"
MEMBER_CERT_VERSION = 512

# Name-value flags: CRYPTCAT_ATTR_NAMEASCII | CRYPTCAT_ATTR_DATAASCII | CRYPTCAT_ATTR_AUTHENTICATED
NAME_VALUE_FLAGS = 0x10010001


class SpcString(core.Choice):
    _alternatives = [
        ("unicode", core.BMPString, {"implicit": 0}),
        ("ascii", core.IA5String, {"implicit": 1}),
    ]


class SpcSerializedObject(core.Sequence):
    _fields = [("class_id", core.OctetString), ("serialized_data", core.OctetString)]


class SpcLink(core.Choice):
    _alternatives = [
        ("url", core.IA5String, {"implicit": 0}),
        ("moniker", SpcSerializedObject, {"implicit": 1}),
        ("file", SpcString, {"explicit": 2}),
    ]


class SpcPeImageData(core.Sequence):
    _fields = [
        ("flags", core.BitString),
        ("file", SpcLink, {"explicit": 0, "optional": True}),
    ]


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]


class DigestInfo(core.Sequence):
    _fields = [("digest_algorithm", algos.DigestAlgorithm), ("digest", core.OctetString)]


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", DigestInfo)]


class NameValue(core.Sequence):
    _fields = [("name", core.BMPString), ("flags", core.Integer), ("value", core.OctetString)]


class MemberInfo(core.Sequence):
    _fields = [("subject_guid", core.BMPString), ("cert_version", core.Integer)]


class AnyValues(core.SetOf):
    _child_spec = core.Any


class CatalogAttribute(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("values", AnyValues)]


class CatalogAttributes(core.SetOf):
    _child_spec = CatalogAttribute


class TrustedSubject(core.Sequence):
    _fields = [("identifier", core.OctetString), ("attributes", CatalogAttributes)]


class TrustedSubjects(core.SequenceOf):
    _child_spec = TrustedSubject


class SubjectUsage(core.SequenceOf):
    _child_spec = core.ObjectIdentifier


class CatalogExtensions(core.SequenceOf):
    _child_spec = x509.Extension


class CertificateTrustList(core.Sequence):
    _fields = [
        ("subject_usage", SubjectUsage),
        ("list_identifier", core.OctetString),
        ("this_update", core.UTCTime),
        ("subject_algorithm", SpcAttributeTypeAndOptionalValue),
        ("trusted_subjects", TrustedSubjects),
        ("extensions", CatalogExtensions, {"explicit": 0, "optional": True}),
    ]


class CatalogContent(core.Sequence):
    _fields = [("content_type", core.ObjectIdentifier),
               ("content", CertificateTrustList, {"explicit": 0})]


class SignerInfos(core.SetOf):
    _child_spec = core.Any


class Certificates(core.SetOf):
    _child_spec = core.Any


class DigestAlgorithms(core.SetOf):
    _child_spec = algos.DigestAlgorithm


class SignedData(core.Sequence):
    _fields = [
        ("version", core.Integer),
        ("digest_algorithms", DigestAlgorithms),
        ("content_info", CatalogContent),
        ("certificates", Certificates, {"implicit": 0, "optional": True}),
        ("crls", AnyValues, {"implicit": 1, "optional": True}),
        ("signer_infos", SignerInfos),
    ]


class Catalog(core.Sequence):
    _fields = [("content_type", core.ObjectIdentifier), ("content", SignedData, {"explicit": 0})]


def utf16z(text):
    """A catalog's wide string: UTF-16LE with its terminating NUL."""
    return (text + "\0").encode("utf-16-le")


def from_utf16z(data):
    return data.decode("utf-16-le").rstrip("\0")
