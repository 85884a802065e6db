"""The Authenticode signature of a PE file, read with Debian's parsers:
pefile for the PE, asn1crypto for the DER.

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
        The PKCS#7 must be one Authenticode signature and no more: DER in
        its one form, so that it re-encodes to the very bytes it was read
        from; one signer; SHA-256 for the file's digest and the signer's; no
        revocation lists; as its only unauthenticated attribute at most one
        RFC 3161 time stamp (so no nested signature); and no certificate
        that is not on the signer's chain or the time stamp authority's. A
        chain is followed by names from the signer up, and each link is
        checked with openssl to be a signature by the next certificate, the
        last one by a root in CA.pem (TSA-CA.pem for the authority): a
        certificate that only borrows a name is refused. The signer's
        certificate must be for code signing. Writes to DIR what openssl
        and the verdict need: signer.pem, chain.pem (the signer's chain
        above it), signature.bin (the signature value, what a time stamp
        covers), token.der and tsa-chain.pem when there is a time stamp,
        and facts, lines of "name value" with values this script formats
        itself.

    authenticode.py parsers
        The versions of the two parsers, for the verdict's report.

A refusal prints one line, "refused: REASON", and exits 1; wrong use exits
2. Nothing here decides on a name: names are compared as DER bytes, and the
subject in facts is for display only.
"""

import calendar
import copy
import hashlib
import os
import re
import subprocess
import sys

try:
    import asn1crypto
    import pefile
    from asn1crypto import algos, cms, core, parser, pem, tsp  # noqa: F401 (tsp: TSTInfo)
except ImportError:
    # Debian's python3-asn1crypto and python3-pefile are for Debian's own
    # interpreter; another python3 first on PATH (a pyenv, a venv) lacks them.
    debian = "/usr/bin/python3"
    if os.path.realpath(sys.executable) != os.path.realpath(debian) and os.access(debian, os.X_OK):
        os.execv(debian, [debian] + sys.argv)
    sys.stderr.write("authenticode.py: python3-asn1crypto and python3-pefile are missing (make deps installs them)\n")
    sys.exit(2)


class Refusal(Exception):
    pass


def refuse(reason):
    raise Refusal(reason)


def hex32(value):
    return "0x%08x" % value


def round8(value):
    return (value + 7) // 8 * 8


# ---------------------------------------------------------------- PE

WIN_CERTIFICATE = ("WIN_CERTIFICATE", ("I,dwLength", "H,wRevision", "H,wCertificateType"))
WIN_CERT_REVISION_2_0 = 0x0200
WIN_CERT_TYPE_PKCS_SIGNED_DATA = 0x0002
CERTIFICATE_TABLE = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]


def read_pe(data, name):
    """DATA as pefile reads it, and its Certificate Table entry (data
    directory 4, which pefile calls the security directory): an entry that
    lies inside the optional header that the file declares."""
    try:
        pe = pefile.PE(data=bytes(data), fast_load=True)
    except pefile.PEFormatError as error:
        if str(error.value).startswith(("DOS Header", "Unable to read the DOS Header", "Probably a ZM",
                                        "The file is empty")):
            refuse("%s is not a PE file" % name)
        refuse("%s has no PE header" % name)
    optional = pe.OPTIONAL_HEADER
    if pe.PE_TYPE is None:
        refuse("%s has an optional header of unknown magic 0x%04x" % (name, optional.Magic))
    directories = optional.DATA_DIRECTORY
    declared_end = optional.get_file_offset() + pe.FILE_HEADER.SizeOfOptionalHeader
    if (optional.NumberOfRvaAndSizes <= CERTIFICATE_TABLE or len(directories) <= CERTIFICATE_TABLE or
            directories[CERTIFICATE_TABLE].get_file_offset() + 8 > min(declared_end, len(data))):
        refuse("%s has no certificate table entry in its data directory" % name)
    return pe, directories[CERTIFICATE_TABLE]


def certificate_table(data, name):
    """The PKCS#7 of FILE, whose certificate table must be the standard
    one entry; see table above."""
    pe, entry = read_pe(data, name)
    # The one data directory entry whose address is a file offset.
    at, size = entry.VirtualAddress, entry.Size
    if at == 0 and size == 0:
        refuse("%s is not signed: it has no certificate table" % name)
    if at + size != len(data):
        refuse("the certificate table (%s, %d bytes) does not end the file (%d bytes)"
               % (hex32(at), size, len(data)))
    if at % 8 or size < 8:
        refuse("the certificate table at %s, %d bytes, is not one 8-byte aligned entry" % (hex32(at), size))
    header = pefile.Structure(WIN_CERTIFICATE, file_offset=at)
    header.__unpack__(data[at:at + 8])
    if header.dwLength != size:
        refuse("the certificate table is %d bytes but its WIN_CERTIFICATE says %d: "
               "there is more than the one entry" % (size, header.dwLength))
    if header.wRevision != WIN_CERT_REVISION_2_0 or header.wCertificateType != WIN_CERT_TYPE_PKCS_SIGNED_DATA:
        refuse("the WIN_CERTIFICATE is revision 0x%04x, type 0x%04x, not 0x0200, "
               "PKCS#7 signed data (0x0002)" % (header.wRevision, header.wCertificateType))
    body = bytes(data[at + 8:])
    try:
        der = body[:parser.peek(body)]
    except ValueError:
        refuse("the PKCS#7 runs past its WIN_CERTIFICATE")
    if size != round8(8 + len(der)):
        refuse("%d bytes follow the %d-byte PKCS#7 inside its WIN_CERTIFICATE, where "
               "only zeros up to a multiple of 8 belong" % (size - 8 - len(der), len(der)))
    if body[len(der):].strip(b"\0"):
        refuse("the alignment bytes after the PKCS#7 are not all zeros")
    stated, computed = pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum()
    if stated != computed:
        refuse("the PE CheckSum %s is not the file's, %s" % (hex32(stated), hex32(computed)))
    return der


def attach(built, der, name):
    """BUILT with DER appended as the standard certificate table, its data
    directory entry set and its CheckSum computed: what signing BUILT with
    that signature writes."""
    _, entry = read_pe(built, name)
    if entry.VirtualAddress or entry.Size:
        refuse("%s already has a certificate table" % name)
    at = round8(len(built))
    size = round8(8 + len(der))
    header = pefile.Structure(WIN_CERTIFICATE)
    header.dwLength, header.wRevision, header.wCertificateType = (
        size, WIN_CERT_REVISION_2_0, WIN_CERT_TYPE_PKCS_SIGNED_DATA)
    image = bytes(built) + bytes(at - len(built)) + header.__pack__() + der + bytes(size - 8 - len(der))
    pe, entry = read_pe(image, name)
    entry.VirtualAddress, entry.Size = at, size
    pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
    return bytes(pe.write())


# ---------------------------------------------------------------- DER

SIGNED_DATA = "1.2.840.113549.1.7.2"
SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
TST_INFO = "1.2.840.113549.1.9.16.1.4"
RFC3161_TIMESTAMP = "1.3.6.1.4.1.311.3.3.1"
NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"
CODE_SIGNING = "1.3.6.1.5.5.7.3.3"


def identifier(dotted, null):
    """An AlgorithmIdentifier's DER, with NULL parameters or none."""
    return parser.emit(0, 1, 16, core.ObjectIdentifier(dotted).dump() + (core.Null().dump() if null else b""))


SHA256 = "2.16.840.1.101.3.4.2.1"
SHA256_ALGORITHMS = (identifier(SHA256, True), identifier(SHA256, False))
# The signature algorithms a SHA-256 signer uses, in their one encoding each:
# rsaEncryption and sha256WithRSAEncryption with NULL, ecdsa-with-SHA256 bare.
SIGNATURE_ALGORITHMS = (identifier("1.2.840.113549.1.1.1", True), identifier("1.2.840.113549.1.1.11", True),
                        identifier("1.2.840.10045.4.3.2", False))
# What a time stamp authority may use, each in its one encoding: SHA-256,
# -384 or -512, and RSA or ECDSA with them.
TSA_DIGEST_ALGORITHMS = tuple(identifier("2.16.840.1.101.3.4.2.%d" % n, null)
                              for null in (True, False) for n in (1, 2, 3))
TSA_SIGNATURE_ALGORITHMS = tuple(identifier("1.2.840.113549.1.1.%d" % n, True) for n in (1, 11, 12, 13)) + tuple(
    identifier("1.2.840.10045.4.3.%d" % n, False) for n in (2, 3, 4))
NAMES = {"2.5.4.3": "CN", "2.5.4.10": "O", "2.5.4.11": "OU", "2.5.4.6": "C",
         "2.5.4.7": "L", "2.5.4.8": "ST", "1.2.840.113549.1.9.1": "emailAddress"}


class SpcIndirectDataContent(core.Sequence):
    """What an Authenticode signature signs: the file's digest (the data
    part, SpcPeImageData, is osslsigncode's to judge)."""
    _fields = [("data", core.Any), ("message_digest", algos.DigestInfo)]


cms.ContentType._map[SPC_INDIRECT_DATA] = "spc_indirect_data"
cms.ContentInfo._oid_specs["spc_indirect_data"] = SpcIndirectDataContent


def strict_der(data, what):
    """DATA as exactly one element, every element in it, through constructed
    ones, in DER's form: a one-byte tag, a definite length in its shortest
    form. Anything else could carry bytes that no signature covers in a form
    that still parses."""
    def walk(contents, top):
        at = 0
        while at < len(contents):
            if len(contents) - at < 2:
                refuse("%s ends inside an element" % what)
            try:
                class_, method, tag, header, body, trailer = parser.parse(contents[at:])
            except ValueError:
                refuse("%s runs past its enclosing element" % what)
            if header[0] & 0x1F == 0x1F:
                refuse("%s uses a multi-byte tag" % what)
            if trailer or header[1] == 0x80 or len(header) > 6:
                refuse("%s has an indefinite or oversized length" % what)
            if header + body != parser.emit(class_, method, tag, body):
                refuse("%s has a length not in its shortest form" % what)
            if method:
                walk(body, False)
            at += len(header) + len(body)
            if top and at != len(contents):
                refuse("%s has bytes after its end" % what)
    walk(data, True)


def load(asn1_type, data, what):
    """DATA, in the form strict_der asks, as ASN1_TYPE."""
    strict_der(data, what)
    try:
        return asn1_type.load(data, strict=True)
    except (ValueError, TypeError) as error:
        refuse("%s is not in the expected form (%s)" % (what, str(error).splitlines()[0]))


def rewritten(value):
    """VALUE encoded anew by asn1crypto, as dump(force=True) would encode it
    but in one pass (dump(force=True) encodes each part again for every
    level above it: seconds for one signature). Every part whose type is
    known is written from what was read; a part that asn1crypto can only
    hold as bytes (an attribute or an extension it has no type for) is
    kept as read, its form checked by strict_der. Every SET OF is sorted
    and a field that holds its default value left out, as DER has it, but
    for a signature's certificates: OpenSSL, and so osslsigncode and the
    time stamp servers built on it, writes them in chain order, and Windows
    takes them so; each is judged on its own."""
    if isinstance(value, core.Void):
        return b""
    if isinstance(value, core.Any):
        try:
            return rewritten(value.parsed)
        except ValueError:
            return value.dump()
    if isinstance(value, core.Choice):
        return explicitly_tagged(value, rewritten(value.chosen))
    if isinstance(value, core.Sequence):
        parts = []
        for index in range(len(value)):
            part = rewritten(value[index])
            field = value._fields[index] if index < len(value._fields) else ()
            if len(field) > 2 and "default" in field[2] and part == field[1](**field[2]).dump():
                continue
            parts.append((value[index].tag, part))
        if isinstance(value, core.Set):
            parts.sort(key=lambda part: part[0])
        contents = b"".join(part for _, part in parts)
    elif isinstance(value, core.SequenceOf):
        items = [rewritten(item) for item in value]
        if isinstance(value, core.SetOf) and not isinstance(value, cms.CertificateSet):
            items.sort()
        contents = b"".join(items)
    elif isinstance(value, core.ParsableOctetString):
        try:
            contents = rewritten(value.parsed)
        except ValueError:
            contents = bytes(value)
        if isinstance(value, core.ParsableOctetBitString):
            contents = b"\0" + contents
    else:
        return copy.deepcopy(value).dump(force=True)
    return explicitly_tagged(value, parser.emit(value.class_, value.method, value.tag, contents))


def explicitly_tagged(value, encoding):
    for class_, tag in value.explicit or ():
        encoding = parser.emit(class_, 1, tag, encoding)
    return encoding


def written_again(value, data, what):
    """VALUE, read from DATA, must be what asn1crypto writes for it, byte for
    byte: no other encoding of the same values can pass."""
    if rewritten(value) != data:
        refuse("%s is not DER in its one form: asn1crypto writes what it read as other bytes" % what)


def present(value):
    return not isinstance(value, core.Void)


class Certificate:
    def __init__(self, choice, what):
        if choice.name != "certificate":
            refuse("%s carries a certificate of another kind than X.509 (%s)" % (what, choice.name))
        self.x509 = choice.chosen
        tbs = self.x509["tbs_certificate"]
        self.der = self.x509.dump()
        self.serial, self.issuer, self.subject = (tbs[f].dump() for f in ("serial_number", "issuer", "subject"))
        usage = self.x509.extended_key_usage_value
        self.usages = [u.dotted for u in usage] if usage is not None else []
        self.sha256 = hashlib.sha256(self.der).hexdigest()

    def pem(self):
        return pem.armor("CERTIFICATE", self.der).decode()

    def display_subject(self):
        """The subject as /CN=.../O=..., every byte outside printable ASCII
        shown as \\xNN, so that no name can start a line of its own."""
        parts = []
        for rdn in self.x509["tbs_certificate"]["subject"].chosen:
            for pair in rdn:
                kind = pair["type"].dotted
                value = parser.parse(pair["value"].dump())[4]
                shown = "".join(chr(b) if 0x20 <= b < 0x7F and b != 0x5C else "\\x%02x" % b for b in value)
                parts.append("/%s=%s" % (NAMES.get(kind, kind), shown))
        return "".join(parts) or "(empty)"


def signed_data(content_info, what):
    """The SignedData of a ContentInfo."""
    if content_info["content_type"].dotted != SIGNED_DATA:
        refuse("%s is not PKCS#7 signed data (%s)" % (what, content_info["content_type"].dotted))
    return content_info["content"]


def signer_info(data, what):
    """The one SignerInfo, signed by issuer and serial number."""
    infos = data["signer_infos"]
    if len(infos) != 1:
        refuse("%s has %d signers, not one" % (what, len(infos)))
    info = infos[0]
    if info["version"].native != "v1" or info["sid"].name != "issuer_and_serial_number":
        refuse("%s's signer is not of version 1, signed by issuer and serial number" % what)
    return info


def certificates(data, what):
    found = [Certificate(c, what) for c in data["certificates"]] if present(data["certificates"]) else []
    seen = set()
    for certificate in found:
        if certificate.der in seen:
            refuse("%s carries the same certificate twice (SHA-256 %s)" % (what, certificate.sha256))
        seen.add(certificate.der)
    return found


def find_signer(pool, info, what):
    sid = info["sid"].chosen
    for certificate in pool:
        if certificate.issuer == sid["issuer"].dump() and certificate.serial == sid["serial_number"].dump():
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


def generalized_time(value):
    text = value.contents.decode("ascii", "replace")
    match = re.fullmatch(r"(\d{4})(\d\d)(\d\d)(\d\d)(\d\d)(\d\d)(\.\d+)?Z", text)
    if not match:
        refuse("the time stamp's time is not a GeneralizedTime in UTC")
    parts = [int(p) for p in match.groups()[:6]]
    return calendar.timegm(tuple(parts) + (0, 0, 0)), "%04d-%02d-%02d %02d:%02d:%02d UTC" % tuple(parts)


def time_stamp(token, what):
    """The RFC 3161 token's signer, its certificates and its time. Whether it
    is over this signature and who signed it is for openssl ts to say; here,
    that it leaves no room for anything else."""
    data = signed_data(token, what)
    if data["version"].native != "v3":
        refuse("%s is not CMS signed data of version 3" % what)
    named = data["digest_algorithms"]
    if len(named) != 1 or named[0].dump() not in TSA_DIGEST_ALGORITHMS:
        refuse("%s does not name one SHA-2 digest algorithm in its standard encoding" % what)
    if present(data["crls"]):
        refuse("%s carries revocation lists" % what)
    content = data["encap_content_info"]
    if content["content_type"].dotted != TST_INFO:
        refuse("%s holds %s, not TSTInfo" % (what, content["content_type"].dotted))
    if not present(content["content"]):
        refuse("%s's TSTInfo has no time" % what)
    gen_time = content["content"].parsed["gen_time"]
    info = signer_info(data, what)
    if (info["digest_algorithm"].dump() not in TSA_DIGEST_ALGORITHMS or
            info["signature_algorithm"].dump() not in TSA_SIGNATURE_ALGORITHMS):
        refuse("%s's signer uses algorithms other than SHA-2 with RSA or ECDSA in their standard encoding" % what)
    if present(info["unsigned_attrs"]):
        refuse("%s carries unauthenticated attributes of its own" % what)
    return info, certificates(data, what), generalized_time(gen_time)


def signature(der_path, folder, roots, tsa_roots):
    with open(der_path, "rb") as source:
        der = source.read()
    what = "the signature"
    top = load(cms.ContentInfo, der, what)
    data = signed_data(top, what)
    if data["version"].native != "v1":
        refuse("the signature is not PKCS#7 signed data of version 1")
    if present(data["crls"]):
        refuse("the signature carries revocation lists")
    algorithms = data["digest_algorithms"]
    if len(algorithms) != 1 or algorithms[0].dump() not in SHA256_ALGORITHMS:
        refuse("the signature's digest algorithms are not just SHA-256")
    content = data["encap_content_info"]
    if content["content_type"].dotted != SPC_INDIRECT_DATA:
        refuse("the signature holds %s, not Authenticode's SpcIndirectDataContent" % content["content_type"].dotted)
    file_digest = content["content"]["message_digest"]
    if (file_digest["digest_algorithm"].dump() not in SHA256_ALGORITHMS or
            len(file_digest["digest"].native) != 32):
        refuse("the file's digest in the signature is not SHA-256 (%s)"
               % file_digest["digest_algorithm"]["algorithm"].dotted)

    info = signer_info(data, what)
    if info["digest_algorithm"].dump() not in SHA256_ALGORITHMS:
        refuse("the signer's digest algorithm is not SHA-256 (%s)" % info["digest_algorithm"]["algorithm"].dotted)
    if info["signature_algorithm"].dump() not in SIGNATURE_ALGORITHMS:
        refuse("the signer's signature algorithm is not RSA or ECDSA with SHA-256 in its standard encoding")

    token = None
    if present(info["unsigned_attrs"]):
        attributes = info["unsigned_attrs"]
        if NESTED_SIGNATURE in [a["type"].dotted for a in attributes]:
            refuse("a nested signature (1.3.6.1.4.1.311.2.4.1) rides in the unauthenticated "
                   "attributes: Windows judges only the primary one, so a release carries one")
        if len(attributes) != 1:
            refuse("the signer has %d unauthenticated attributes; the one allowed is an RFC 3161 "
                   "time stamp" % len(attributes))
        kind = attributes[0]["type"].dotted
        if kind != RFC3161_TIMESTAMP:
            refuse("the signer's unauthenticated attribute is %s, not an RFC 3161 time stamp "
                   "(1.3.6.1.4.1.311.3.3.1)" % kind)
        if len(attributes[0]["values"]) != 1:
            refuse("the time stamp attribute holds %d values, not one" % len(attributes[0]["values"]))
        token = attributes[0]["values"][0]

    outer_certificates = certificates(data, what)
    signer = find_signer(outer_certificates, info, "the signer")
    if CODE_SIGNING not in signer.usages:
        refuse("the signer's certificate is not for code signing (no codeSigning extended key usage)")
    signer_path = chain(signer, outer_certificates, roots, folder, "signer")
    on_chains = [c.der for c in signer_path]

    facts = ["signer-sha256 %s" % signer.sha256, "signer %s" % signer.display_subject()]
    files = {}
    if token is not None:
        what = "the time stamp"
        authority_info, token_certificates, (epoch, shown) = time_stamp(token, what)
        pool = token_certificates + [c for c in outer_certificates
                                     if c.der not in [t.der for t in token_certificates]]
        authority = find_signer(pool, authority_info, "the time stamp authority")
        tsa_path = chain(authority, pool, tsa_roots, folder, "time stamp authority")
        for certificate in token_certificates:
            if certificate.der not in [c.der for c in tsa_path]:
                refuse("the time stamp carries a certificate off its authority's chain (SHA-256 %s)"
                       % certificate.sha256)
        on_chains += [c.der for c in tsa_path]
        files["token.der"] = token.dump()
        files["tsa-chain.pem"] = "".join(c.pem() for c in tsa_path[1:])
        facts += ["timestamp %s" % shown, "timestamp-epoch %d" % epoch]
    for certificate in outer_certificates:
        if certificate.der not in on_chains:
            refuse("the signature carries a certificate on neither the signer's chain nor the time "
                   "stamp authority's (SHA-256 %s)" % certificate.sha256)
    written_again(top, der, "the signature")

    files["signer.pem"] = signer.pem()
    files["chain.pem"] = "".join(c.pem() for c in signer_path[1:])
    files["signature.bin"] = info["signature"].native
    files["facts"] = "\n".join(facts) + "\n"
    for name, content in files.items():
        with open(os.path.join(folder, name), "wb" if isinstance(content, bytes) else "w") as out:
            out.write(content)


def compare(signed_path, built_path):
    with open(signed_path, "rb") as source:
        signed = source.read()
    with open(built_path, "rb") as source:
        built = source.read()
    der = certificate_table(signed, signed_path)
    expected = attach(built, der, built_path)
    pe, entry = read_pe(signed, signed_path)
    checksum_at = pe.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum")
    print("signature: a %d-byte PKCS#7 in the one WIN_CERTIFICATE at %s, CheckSum %s"
          % (len(der), hex32(entry.VirtualAddress), hex32(pe.OPTIONAL_HEADER.CheckSum)))
    if entry.VirtualAddress != round8(len(built)):
        refuse("the certificate table starts at %s, not where the build ends (%d bytes, "
               "8-byte aligned %s)" % (hex32(entry.VirtualAddress), len(built), hex32(round8(len(built)))))
    if signed != expected:
        differ = [i for i in range(min(len(signed), len(expected)))
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
        elif arguments == ["parsers"]:
            print("asn1crypto %s, pefile %s" % (asn1crypto.__version__, pefile.__version__))
        else:
            sys.stderr.write(__doc__)
            return 2
    except Refusal as refusal:
        print("refused: %s" % refusal)
        return 1
    except (ValueError, TypeError, KeyError, IndexError, RecursionError) as error:
        # Bytes these readers cannot follow are not a signature to vouch for.
        reason = str(error).splitlines()[0] if str(error) else ""
        print("refused: the signature cannot be read (%s: %s)" % (type(error).__name__, reason))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
