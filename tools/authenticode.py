"""The Authenticode signature of a PE file, read from its bytes and its DER.

    authenticode.py table FILE SIG.der [NAME]
        FILE's certificate table must be exactly the one standard entry:
        one WIN_CERTIFICATE (revision 0x0200, PKCS#7 signed data) holding
        the PKCS#7 and nothing else but zero bytes up to the next multiple
        of 8, ending the file; and the PE CheckSum must be FILE's own. The
        PKCS#7 is written to SIG.der. NAME is FILE in what is printed.

    authenticode.py compare SIGNED BUILT
        SIGNED must be BUILT with SIGNED's own PKCS#7 attached in that
        standard form (see attach), byte for byte, CheckSum included.

    authenticode.py signature SIG.der DIR CA.pem TSA-CA.pem
        The PKCS#7 must be one Authenticode signature and no more: strict
        DER; one signer; SHA-256 for the file's digest and the signer's; no
        revocation lists; as its
        only unauthenticated attribute at most one RFC 3161 time stamp (so
        no nested signature); and no certificate that is not on the
        signer's chain or the time stamp authority's. A chain is followed
        by names from the signer up, and each link is checked with openssl
        to be a signature by the next certificate, the last one by a root
        in CA.pem (TSA-CA.pem for the authority): a certificate that only
        borrows a name is refused. The signer's certificate must be for
        code signing. Writes to DIR what openssl and the verdict need:
        signer.pem, chain.pem (the signer's chain above it), signature.bin
        (the signature value, what a time stamp covers), token.der and
        tsa-chain.pem when there is a time stamp, and facts, lines of
        "name value" with values this script formats itself.

A refusal prints one line, "refused: REASON", and exits 1; wrong use exits
2. Nothing here decides on a name: names are compared as DER bytes, and the
subject in facts is for display only.
"""

import base64
import calendar
import hashlib
import os
import re
import struct
import subprocess
import sys


class Refusal(Exception):
    pass


def refuse(reason):
    raise Refusal(reason)


def u16(data, at):
    return struct.unpack_from("<H", data, at)[0]


def u32(data, at):
    return struct.unpack_from("<I", data, at)[0]


def hex32(value):
    return "0x%08x" % value


def round8(value):
    return (value + 7) // 8 * 8


# ---------------------------------------------------------------- PE

WIN_CERT_REVISION_2_0 = 0x0200
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002


def pe_fields(data, name):
    """The file offsets of the CheckSum and of the Certificate Table entry
    (data directory 4)."""
    if len(data) < 64 or data[:2] != b"MZ":
        refuse("%s is not a PE file" % name)
    pe = u32(data, 60)
    if pe + 24 + 2 > len(data) or data[pe:pe + 4] != b"PE\0\0":
        refuse("%s has no PE header" % name)
    optional = pe + 24
    optional_size = u16(data, pe + 20)
    magic = u16(data, optional)
    if magic == 0x20B:
        count_at, directories = optional + 108, optional + 112
    elif magic == 0x10B:
        count_at, directories = optional + 92, optional + 96
    else:
        refuse("%s has an optional header of unknown magic 0x%04x" % (name, magic))
    certificate_entry = directories + 4 * 8
    if (certificate_entry + 8 > optional + optional_size or
            certificate_entry + 8 > len(data) or u32(data, count_at) <= 4):
        refuse("%s has no certificate table entry in its data directory" % name)
    return optional + 64, certificate_entry


def pe_checksum(data, checksum_at):
    """The PE CheckSum as Windows computes it (CheckSumMappedFile): the
    file's 16-bit little-endian words, the CheckSum field taken as zero,
    added with end-around carry, plus the file's length."""
    image = bytearray(data)
    image[checksum_at:checksum_at + 4] = bytes(4)
    if len(image) % 2:
        image.append(0)
    total = sum(struct.unpack("<%dH" % (len(image) // 2), image))
    while total > 0xFFFF:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def certificate_table(data, name):
    """The PKCS#7 of FILE, whose certificate table must be the standard
    one entry; see table above."""
    checksum_at, entry = pe_fields(data, name)
    at, size = u32(data, entry), u32(data, entry + 4)
    if at == 0 and size == 0:
        refuse("%s is not signed: it has no certificate table" % name)
    if at + size != len(data):
        refuse("the certificate table (%s, %d bytes) does not end the file (%d bytes)"
               % (hex32(at), size, len(data)))
    if at % 8 or size < 8:
        refuse("the certificate table at %s, %d bytes, is not one 8-byte aligned entry" % (hex32(at), size))
    length, revision, kind = struct.unpack_from("<IHH", data, at)
    if length != size:
        refuse("the certificate table is %d bytes but its WIN_CERTIFICATE says %d: "
               "there is more than the one entry" % (size, length))
    if revision != WIN_CERT_REVISION_2_0 or kind != WIN_CERT_TYPE_PKCS_SIGNED_DATA:
        refuse("the WIN_CERTIFICATE is revision 0x%04x, type 0x%04x, not 0x0200, "
               "PKCS#7 signed data (0x0002)" % (revision, kind))
    body = data[at + 8:]
    outer = Der.read(body, 0, len(body), "the PKCS#7")
    der = body[:outer.end]
    if size != round8(8 + len(der)):
        refuse("%d bytes follow the %d-byte PKCS#7 inside its WIN_CERTIFICATE, where "
               "only zeros up to a multiple of 8 belong" % (size - 8 - len(der), len(der)))
    if body[outer.end:].strip(b"\0"):
        refuse("the alignment bytes after the PKCS#7 are not all zeros")
    stated, computed = u32(data, checksum_at), pe_checksum(data, checksum_at)
    if stated != computed:
        refuse("the PE CheckSum %s is not the file's, %s" % (hex32(stated), hex32(computed)))
    return der


def attach(built, der, name):
    """BUILT with DER appended as the standard certificate table, its data
    directory entry set and its CheckSum computed: what signing BUILT with
    that signature writes."""
    image = bytearray(built)
    checksum_at, entry = pe_fields(image, name)
    if u32(image, entry) or u32(image, entry + 4):
        refuse("%s already has a certificate table" % name)
    image += bytes(round8(len(image)) - len(image))
    at = len(image)
    size = round8(8 + len(der))
    image += struct.pack("<IHH", size, WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA)
    image += der + bytes(size - 8 - len(der))
    struct.pack_into("<II", image, entry, at, size)
    struct.pack_into("<I", image, checksum_at, pe_checksum(image, checksum_at))
    return bytes(image)


# ---------------------------------------------------------------- DER

class Der:
    """One element of strict DER: a one-byte tag, a definite length in its
    shortest form. Anything else could carry bytes that no signature
    covers in a form that still parses."""

    def __init__(self, data, tag, start, body, end):
        self.data, self.tag, self.start, self.body, self.end = data, tag, start, body, end

    @staticmethod
    def read(data, at, limit, what):
        if at + 2 > limit:
            refuse("%s ends inside an element" % what)
        tag, first = data[at], data[at + 1]
        if tag & 0x1F == 0x1F:
            refuse("%s uses a multi-byte tag" % what)
        if first < 0x80:
            length, body = first, at + 2
        else:
            count = first & 0x7F
            if count == 0 or count > 4 or at + 2 + count > limit:
                refuse("%s has an indefinite or oversized length" % what)
            digits = data[at + 2:at + 2 + count]
            length = int.from_bytes(digits, "big")
            if digits[0] == 0 or length < 0x80:
                refuse("%s has a length not in its shortest form" % what)
            body = at + 2 + count
        if body + length > limit:
            refuse("%s runs past its enclosing element" % what)
        return Der(data, tag, at, body, body + length)

    @staticmethod
    def parse(data, what):
        """DATA as exactly one element, checked strictly all the way down."""
        element = Der.read(data, 0, len(data), what)
        if element.end != len(data):
            refuse("%s has bytes after its end" % what)
        element.check(what)
        return element

    def check(self, what):
        if self.tag & 0x20:
            for child in self.children(what):
                child.check(what)

    def children(self, what):
        found, at = [], self.body
        while at < self.end:
            child = Der.read(self.data, at, self.end, what)
            found.append(child)
            at = child.end
        return found

    def fields(self, what, tags):
        """The children, whose tags must be TAGS in order; a tag ending in
        '?' is optional. Returns a list with None for absent ones."""
        children, picked = self.children(what), []
        for wanted in tags:
            optional = isinstance(wanted, str)
            tag = int(wanted.rstrip("?"), 16) if optional else wanted
            if children and children[0].tag == tag:
                picked.append(children.pop(0))
            elif optional:
                picked.append(None)
            else:
                refuse("%s is not in the expected form" % what)
        if children:
            refuse("%s holds an unexpected element (tag 0x%02x)" % (what, children[0].tag))
        return picked

    @property
    def encoding(self):
        return bytes(self.data[self.start:self.end])

    @property
    def value(self):
        return bytes(self.data[self.body:self.end])


SEQUENCE, SET, INTEGER, OCTET_STRING, OID, GENERALIZED_TIME = 0x30, 0x31, 0x02, 0x04, 0x06, 0x18


def oid(dotted):
    parts = [int(p) for p in dotted.split(".")]
    body = bytearray([40 * parts[0] + parts[1]])
    for part in parts[2:]:
        chunk = [part & 0x7F]
        part >>= 7
        while part:
            chunk.insert(0, 0x80 | (part & 0x7F))
            part >>= 7
        body += bytes(chunk)
    return bytes([OID, len(body)]) + bytes(body)


def dotted(encoding):
    body, parts, value = encoding[2:], [], 0
    for byte in body:
        value = value << 7 | (byte & 0x7F)
        if not byte & 0x80:
            parts.append(value)
            value = 0
    if not parts:
        return "?"
    first = min(parts[0] // 40, 2)
    return ".".join(str(p) for p in [first, parts[0] - 40 * first] + parts[1:])


SIGNED_DATA = oid("1.2.840.113549.1.7.2")
SPC_INDIRECT_DATA = oid("1.3.6.1.4.1.311.2.1.4")
TST_INFO = oid("1.2.840.113549.1.9.16.1.4")
RFC3161_TIMESTAMP = oid("1.3.6.1.4.1.311.3.3.1")
NESTED_SIGNATURE = oid("1.3.6.1.4.1.311.2.4.1")
EXTENDED_KEY_USAGE = oid("2.5.29.37")
CODE_SIGNING = oid("1.3.6.1.5.5.7.3.3")
SHA256 = oid("2.16.840.1.101.3.4.2.1")
# The AlgorithmIdentifier of SHA-256, with NULL parameters or none.
SHA256_ALGORITHMS = (bytes([SEQUENCE, 13]) + SHA256 + b"\x05\x00", bytes([SEQUENCE, 11]) + SHA256)
# The signature algorithms a SHA-256 signer uses, in their one encoding each:
# rsaEncryption and sha256WithRSAEncryption with NULL, ecdsa-with-SHA256 bare.
SIGNATURE_ALGORITHMS = (
    bytes([SEQUENCE, 13]) + oid("1.2.840.113549.1.1.1") + b"\x05\x00",
    bytes([SEQUENCE, 13]) + oid("1.2.840.113549.1.1.11") + b"\x05\x00",
    bytes([SEQUENCE, 10]) + oid("1.2.840.10045.4.3.2"),
)
# What a time stamp authority may use, each in its one encoding: SHA-256,
# -384 or -512, and RSA or ECDSA with them.
DIGESTS = [oid("2.16.840.1.101.3.4.2.%d" % n) for n in (1, 2, 3)]
TSA_DIGEST_ALGORITHMS = tuple(bytes([SEQUENCE, 13]) + d + b"\x05\x00" for d in DIGESTS) + tuple(
    bytes([SEQUENCE, 11]) + d for d in DIGESTS)
TSA_SIGNATURE_ALGORITHMS = tuple(
    bytes([SEQUENCE, 13]) + oid("1.2.840.113549.1.1.%d" % n) + b"\x05\x00" for n in (1, 11, 12, 13)) + tuple(
    bytes([SEQUENCE, 10]) + oid("1.2.840.10045.4.3.%d" % n) for n in (2, 3, 4))
NAMES = {"2.5.4.3": "CN", "2.5.4.10": "O", "2.5.4.11": "OU", "2.5.4.6": "C",
         "2.5.4.7": "L", "2.5.4.8": "ST", "1.2.840.113549.1.9.1": "emailAddress"}


class Certificate:
    def __init__(self, element):
        what = "a certificate"
        self.der = element.encoding
        if element.tag != SEQUENCE:
            refuse("the signature carries a certificate of another kind than X.509 (tag 0x%02x)" % element.tag)
        tbs = element.fields(what, [SEQUENCE, SEQUENCE, 0x03])[0]
        (_, serial, _, issuer, _, subject, _, _, _, extensions) = tbs.fields(
            what, ["a0?", INTEGER, SEQUENCE, SEQUENCE, SEQUENCE, SEQUENCE, SEQUENCE, "81?", "82?", "a3?"])
        self.serial, self.issuer, self.subject = serial.encoding, issuer.encoding, subject.encoding
        self.subject_element = subject
        self.usages = []
        if extensions is not None:
            for extension in extensions.children(what)[0].children(what):
                parts = extension.children(what)
                if parts and parts[0].encoding == EXTENDED_KEY_USAGE:
                    usage = Der.parse(parts[-1].value, what)
                    self.usages = [u.encoding for u in usage.children(what)]
        self.sha256 = hashlib.sha256(self.der).hexdigest()

    def pem(self):
        text = base64.encodebytes(self.der).decode().replace("\n", "")
        lines = [text[i:i + 64] for i in range(0, len(text), 64)]
        return "-----BEGIN CERTIFICATE-----\n%s\n-----END CERTIFICATE-----\n" % "\n".join(lines)

    def display_subject(self):
        """The subject as /CN=.../O=..., every byte outside printable ASCII
        shown as \\xNN, so that no name can start a line of its own."""
        what = "a certificate's subject"
        parts = []
        for rdn in self.subject_element.children(what):
            for pair in rdn.children(what):
                parts_of_pair = pair.children(what)
                if len(parts_of_pair) != 2 or parts_of_pair[0].tag != OID:
                    continue
                kind, value = parts_of_pair[0], parts_of_pair[1].value
                label = NAMES.get(dotted(kind.encoding), dotted(kind.encoding))
                shown = "".join(chr(b) if 0x20 <= b < 0x7F and b != 0x5C else "\\x%02x" % b for b in value)
                parts.append("/%s=%s" % (label, shown))
        return "".join(parts) or "(empty)"


def signed_data(element, what):
    """The SignedData of a ContentInfo."""
    content_type, content = element.fields(what, [OID, 0xA0])
    if content_type.encoding != SIGNED_DATA:
        refuse("%s is not PKCS#7 signed data (%s)" % (what, dotted(content_type.encoding)))
    (inner,) = content.fields(what, [SEQUENCE])
    return inner


def signer_info(element, what, version):
    """The one SignerInfo's parts: issuer and serial, digest algorithm,
    signed attributes, signature algorithm, signature, unsigned attributes
    (None when absent)."""
    infos = element.children(what)
    if len(infos) != 1:
        refuse("%s has %d signers, not one" % (what, len(infos)))
    (number, sid, digest, signed, algorithm, signature, unsigned) = infos[0].fields(
        what, [INTEGER, SEQUENCE, SEQUENCE, 0xA0, SEQUENCE, OCTET_STRING, "a1?"])
    if number.value != bytes([version]):
        refuse("%s's signer is not of version %d, signed by issuer and serial number" % (what, version))
    issuer, serial = sid.fields(what, [SEQUENCE, INTEGER])
    return issuer.encoding, serial.encoding, digest, algorithm, signature, unsigned


def certificates(element, what):
    if element is None:
        return []
    found = [Certificate(c) for c in element.children(what)]
    seen = set()
    for certificate in found:
        if certificate.der in seen:
            refuse("%s carries the same certificate twice (SHA-256 %s)" % (what, certificate.sha256))
        seen.add(certificate.der)
    return found


def find_signer(pool, issuer, serial, what):
    for certificate in pool:
        if certificate.issuer == issuer and certificate.serial == serial:
            return certificate
    refuse("%s's certificate is not in the signature" % what)


def openssl_verify(*arguments):
    return subprocess.run(["openssl", "verify"] + list(arguments),
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode == 0


def chain(leaf, pool, roots, folder, who):
    """LEAF and the certificates above it in POOL, followed by DER-equal
    names. Each one is checked to be signed by the next, and the last by a
    certificate in ROOTS (or to be one), times aside: a certificate that
    only borrows its issuer's name does not count as on the chain."""
    path = [leaf]
    while path[-1].issuer != path[-1].subject:
        above = [c for c in pool if c.subject == path[-1].issuer and c not in path]
        if len(above) > 1:
            refuse("the signature carries %d certificates that name the issuer of the %s's "
                   "chain at depth %d" % (len(above), who, len(path) - 1))
        if not above:
            break
        path.append(above[0])
    def pem_file(name, certificate):
        target = os.path.join(folder, name)
        with open(target, "w") as out:
            out.write(certificate.pem())
        return target
    for depth, (child, parent) in enumerate(zip(path, path[1:])):
        if not openssl_verify("-no_check_time", "-partial_chain",
                              "-CAfile", pem_file("link-issuer.pem", parent), pem_file("link.pem", child)):
            refuse("the certificate at depth %d of the %s's chain is not signed by the one "
                   "above it that bears its issuer's name" % (depth, who))
    top = pem_file("link.pem", path[-1])
    if path[-1].issuer == path[-1].subject:
        if not openssl_verify("-no_check_time", "-check_ss_sig", "-partial_chain", "-CAfile", top, top):
            refuse("the self-issued certificate atop the %s's chain is not signed by itself" % who)
    if not openssl_verify("-no_check_time", "-CAfile", roots, top):
        refuse("the certificate atop the %s's chain is not issued by a root in %s" % (who, roots))
    for name in ("link.pem", "link-issuer.pem"):
        if os.path.exists(os.path.join(folder, name)):
            os.remove(os.path.join(folder, name))
    return path


def generalized_time(element):
    text = element.value.decode("ascii", "replace")
    match = re.fullmatch(r"(\d{4})(\d\d)(\d\d)(\d\d)(\d\d)(\d\d)(\.\d+)?Z", text)
    if element.tag != GENERALIZED_TIME or not match:
        refuse("the time stamp's time is not a GeneralizedTime in UTC")
    parts = [int(p) for p in match.groups()[:6]]
    return calendar.timegm(tuple(parts) + (0, 0, 0)), "%04d-%02d-%02d %02d:%02d:%02d UTC" % tuple(parts)


def time_stamp(attribute, what):
    """The RFC 3161 token's signer (issuer and serial), its certificates and
    its time. Whether it is over this signature and who signed it is for
    openssl ts to say; here, that it leaves no room for anything else."""
    outer = signed_data(attribute, what)
    (number, digests, content, certs, crls, signers) = outer.fields(
        what, [INTEGER, SET, SEQUENCE, "a0?", "a1?", SET])
    if number.value != b"\x03":
        refuse("%s is not CMS signed data of version 3" % what)
    named = digests.children(what)
    if len(named) != 1 or named[0].encoding not in TSA_DIGEST_ALGORITHMS:
        refuse("%s does not name one SHA-2 digest algorithm in its standard encoding" % what)
    if crls is not None:
        refuse("%s carries revocation lists" % what)
    kind, wrapped = content.fields(what, [OID, 0xA0])
    if kind.encoding != TST_INFO:
        refuse("%s holds %s, not TSTInfo" % (what, dotted(kind.encoding)))
    (octets,) = wrapped.fields(what, [OCTET_STRING])
    info = Der.parse(octets.value, what)
    gen_time = info.children(what)[4] if len(info.children(what)) > 4 else None
    if gen_time is None:
        refuse("%s's TSTInfo has no time" % what)
    issuer, serial, digest, algorithm, _, unsigned = signer_info(signers, what, 1)
    if digest.encoding not in TSA_DIGEST_ALGORITHMS or algorithm.encoding not in TSA_SIGNATURE_ALGORITHMS:
        refuse("%s's signer uses algorithms other than SHA-2 with RSA or ECDSA in their standard encoding" % what)
    if unsigned is not None:
        refuse("%s carries unauthenticated attributes of its own" % what)
    return issuer, serial, certificates(certs, what), generalized_time(gen_time)


def signature(der_path, folder, roots, tsa_roots):
    with open(der_path, "rb") as source:
        data = source.read()
    top = Der.parse(data, "the signature")
    what = "the signature"
    outer = signed_data(top, what)
    (number, digests, content, certs, crls, signers) = outer.fields(
        what, [INTEGER, SET, SEQUENCE, "a0?", "a1?", SET])
    if number.value != b"\x01":
        refuse("the signature is not PKCS#7 signed data of version 1")
    if crls is not None:
        refuse("the signature carries revocation lists")
    algorithms = digests.children(what)
    if len(algorithms) != 1 or algorithms[0].encoding not in SHA256_ALGORITHMS:
        refuse("the signature's digest algorithms are not just SHA-256")
    kind, wrapped = content.fields(what, [OID, 0xA0])
    if kind.encoding != SPC_INDIRECT_DATA:
        refuse("the signature holds %s, not Authenticode's SpcIndirectDataContent" % dotted(kind.encoding))
    (indirect,) = wrapped.fields(what, [SEQUENCE])
    _, digest_info = indirect.fields(what, [SEQUENCE, SEQUENCE])
    file_algorithm, file_digest = digest_info.fields(what, [SEQUENCE, OCTET_STRING])
    if file_algorithm.encoding not in SHA256_ALGORITHMS or len(file_digest.value) != 32:
        refuse("the file's digest in the signature is not SHA-256 (%s)"
               % dotted(file_algorithm.children(what)[0].encoding))

    issuer, serial, digest, algorithm, value, unsigned = signer_info(signers, what, 1)
    if digest.encoding not in SHA256_ALGORITHMS:
        refuse("the signer's digest algorithm is not SHA-256 (%s)" % dotted(digest.children(what)[0].encoding))
    if algorithm.encoding not in SIGNATURE_ALGORITHMS:
        refuse("the signer's signature algorithm is not RSA or ECDSA with SHA-256 in its standard encoding")

    token = None
    if unsigned is not None:
        attributes = unsigned.children(what)
        kinds = [a.children(what)[0].encoding if a.tag == SEQUENCE and a.children(what) else b""
                 for a in attributes]
        if NESTED_SIGNATURE in kinds:
            refuse("a nested signature (1.3.6.1.4.1.311.2.4.1) rides in the unauthenticated "
                   "attributes: Windows judges only the primary one, so a release carries one")
        if len(attributes) != 1:
            refuse("the signer has %d unauthenticated attributes; the one allowed is an RFC 3161 "
                   "time stamp" % len(attributes))
        kind, values = attributes[0].fields(what, [OID, SET])
        if kind.encoding != RFC3161_TIMESTAMP:
            refuse("the signer's unauthenticated attribute is %s, not an RFC 3161 time stamp "
                   "(1.3.6.1.4.1.311.3.3.1)" % dotted(kind.encoding))
        if len(values.children(what)) != 1:
            refuse("the time stamp attribute holds %d values, not one" % len(values.children(what)))
        token = values.children(what)[0]

    outer_certificates = certificates(certs, what)
    signer = find_signer(outer_certificates, issuer, serial, "the signer")
    if CODE_SIGNING not in signer.usages:
        refuse("the signer's certificate is not for code signing (no codeSigning extended key usage)")
    signer_path = chain(signer, outer_certificates, roots, folder, "signer")
    on_chains = [c.der for c in signer_path]

    facts = ["signer-sha256 %s" % signer.sha256, "signer %s" % signer.display_subject()]
    if token is not None:
        what = "the time stamp"
        tsa_issuer, tsa_serial, token_certificates, (epoch, shown) = time_stamp(token, what)
        pool = token_certificates + [c for c in outer_certificates
                                     if c.der not in [t.der for t in token_certificates]]
        authority = find_signer(pool, tsa_issuer, tsa_serial, "the time stamp authority")
        tsa_path = chain(authority, pool, tsa_roots, folder, "time stamp authority")
        for certificate in token_certificates:
            if certificate.der not in [c.der for c in tsa_path]:
                refuse("the time stamp carries a certificate off its authority's chain (SHA-256 %s)"
                       % certificate.sha256)
        on_chains += [c.der for c in tsa_path]
        with open(os.path.join(folder, "token.der"), "wb") as out:
            out.write(token.encoding)
        with open(os.path.join(folder, "tsa-chain.pem"), "w") as out:
            out.write("".join(c.pem() for c in tsa_path[1:]))
        facts += ["timestamp %s" % shown, "timestamp-epoch %d" % epoch]
    for certificate in outer_certificates:
        if certificate.der not in on_chains:
            refuse("the signature carries a certificate on neither the signer's chain nor the time "
                   "stamp authority's (SHA-256 %s)" % certificate.sha256)

    with open(os.path.join(folder, "signer.pem"), "w") as out:
        out.write(signer.pem())
    with open(os.path.join(folder, "chain.pem"), "w") as out:
        out.write("".join(c.pem() for c in signer_path[1:]))
    with open(os.path.join(folder, "signature.bin"), "wb") as out:
        out.write(value.value)
    with open(os.path.join(folder, "facts"), "w") as out:
        out.write("\n".join(facts) + "\n")


def compare(signed_path, built_path):
    with open(signed_path, "rb") as source:
        signed = source.read()
    with open(built_path, "rb") as source:
        built = source.read()
    der = certificate_table(signed, signed_path)
    expected = attach(built, der, built_path)
    checksum_at, entry = pe_fields(built, built_path)
    print("signature: a %d-byte PKCS#7 in the one WIN_CERTIFICATE at %s, CheckSum %s"
          % (len(der), hex32(u32(signed, entry)), hex32(u32(signed, checksum_at))))
    if u32(signed, entry) != u32(expected, entry):
        refuse("the certificate table starts at %s, not where the build ends (%d bytes, "
               "8-byte aligned %s)" % (hex32(u32(signed, entry)), len(built), hex32(round8(len(built)))))
    if signed != expected:
        differ = [i for i in range(len(expected))
                  if signed[i] != expected[i] and not checksum_at <= i < checksum_at + 4]
        if differ:
            refuse("%d byte(s) differ from the build outside the CheckSum, the first at %s"
                   % (len(differ), hex32(differ[0])))
        refuse("the CheckSum differs from the build's with this signature")
    print("identical: %s-%s, the build with this signature attached, CheckSum included"
          % (hex32(0), hex32(len(signed) - 1)))


def main(arguments):
    try:
        if len(arguments) in (3, 4) and arguments[0] == "table":
            with open(arguments[1], "rb") as source:
                der = certificate_table(source.read(), arguments[-1] if len(arguments) == 4 else arguments[1])
            with open(arguments[2], "wb") as out:
                out.write(der)
        elif len(arguments) == 3 and arguments[0] == "compare":
            compare(arguments[1], arguments[2])
        elif len(arguments) == 5 and arguments[0] == "signature":
            signature(*arguments[1:])
        else:
            sys.stderr.write(__doc__)
            return 2
    except Refusal as refusal:
        print("refused: %s" % refusal)
        return 1
    except (struct.error, IndexError, ValueError, RecursionError) as error:
        # Bytes this reader cannot follow are not a signature it can vouch for.
        print("refused: the signature cannot be read (%s: %s)" % (type(error).__name__, error))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
