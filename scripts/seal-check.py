#!/usr/bin/env python3
"""Checks the record seals and the audit trail of a brtx.db with nothing but Python's own
sqlite3 and hashlib, following the rules in docs/integrity.md ("Checking a brtx.db with another
program") and docs/signatures.md. Usage: seal-check.py PROGRAM_FOLDER [FINGERPRINT]
(the folder holding brtx.db and pic/; with a fingerprint only that desk key is trusted).
The desk signatures are checked with the openssl command (skipped, and said so, without it).
Prints one line per record or audit entry that fails, then "checked: N, failed: M"."""
import base64, hashlib, os, shutil, sqlite3, struct, subprocess, sys, tempfile

COLUMNS = ("Machine_NO,Record_No,Date_Date,Time_Time,Test_Mode,Test_Result,Test_Unit,"
           "Reserve1,Reserve2,Reserve3,Reserve4,FieldGroup,FieldSelect,Reserve5,Reserve6,"
           + ",".join("Field%d" % i for i in range(1, 21)) + ",GPS,Path,PictureName")

def field(text):
    data = (text or "").encode("utf-8")
    return struct.pack(">I", len(data)) + data

def sha(*texts):
    return hashlib.sha256(b"".join(field(t) for t in texts)).hexdigest()

def picture_hash(root, path):
    parts = [p for p in (path or "").replace("\\", "/").split("/") if p not in ("", ".")]
    if not parts or ".." in parts:
        return ""
    try:
        with open(os.path.join(root, "pic", *parts), "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()
    except OSError:
        return None

def ed25519_verify(pem, message, signature_b64):
    """The openssl command's answer: does the signature verify under the public key?"""
    try:
        signature = base64.b64decode(signature_b64, validate=True)
    except ValueError:
        return False
    with tempfile.TemporaryDirectory() as tmp:
        paths = {name: os.path.join(tmp, name) for name in ("key.pem", "msg", "sig")}
        for name, data in (("key.pem", pem.encode()), ("msg", message), ("sig", signature)):
            with open(paths[name], "wb") as f:
                f.write(data)
        done = subprocess.run(["openssl", "pkeyutl", "-verify", "-pubin", "-inkey",
                               paths["key.pem"], "-rawin", "-in", paths["msg"], "-sigfile",
                               paths["sig"]], capture_output=True)
        return done.returncode == 0

def fingerprint(pem):
    """SHA-256 of the raw 32-byte Ed25519 public key, the end of its DER encoding."""
    body = "".join(l for l in pem.splitlines() if l and not l.startswith("-----"))
    return hashlib.sha256(base64.b64decode(body)[-32:]).hexdigest()

def signatures(db, tables, only_key):
    """Checks every ChainSignature row; returns (chain -> [(from, head)] covered, failures)."""
    covered, failed = {}, 0
    if not {"DeskKey", "ChainSignature"} <= tables:
        return covered, failed
    if shutil.which("openssl") is None:
        print("openssl missing: signatures not checked")
        return None, 0
    keys = {fp: pem for (fp, pem) in db.execute("SELECT Fingerprint,PublicKey FROM DeskKey")
            if fingerprint(pem) == fp}
    heads = {}
    for (seq, m, seal) in db.execute("SELECT Seq,Machine_NO,Seal FROM RecordSeal"):
        heads[("seal:" + m, seq)] = seal
    if "AuditLog" in tables:
        for (seq, h) in db.execute("SELECT Seq,Hash FROM AuditLog"):
            heads[("audit", seq)] = h
    for (seq, chain, frm, head_seq, head, fp, at, late, prev, sig) in db.execute(
            "SELECT Seq,Chain,FromSeq,HeadSeq,Head,Fingerprint,SignedAt,Late,Prev,Signature "
            "FROM ChainSignature ORDER BY Seq"):
        message = b"".join(field(t) for t in ("brtx-chain-signature-v1", chain, str(frm),
                                              str(head_seq), head, fp, at,
                                              "1" if late else "0", prev))
        ok = fp in keys and (not only_key or fp == only_key) and \
            ed25519_verify(keys[fp], message, sig) and heads.get((chain, head_seq)) == head
        if not ok:
            print("signature %d of %s: SIGNATURE-INVALID" % (seq, chain))
            failed += 1
        else:
            covered.setdefault(chain, []).append((frm, head_seq))
    return covered, failed

def is_covered(covered, chain, seq):
    return covered is None or any(a <= seq <= b for (a, b) in covered.get(chain, []))

def main(root, only_key=""):
    db = sqlite3.connect(os.path.join(root, "brtx.db"))
    db.text_factory = lambda b: b.decode("utf-8", "surrogateescape")
    tables = {name for (name,) in db.execute("SELECT name FROM sqlite_master WHERE type='table'")}
    if not {"ValueInfo", "RecordSeal"} <= tables:
        print("no seals in this database")
        return 1
    rows = {}
    for values in db.execute("SELECT %s FROM ValueInfo" % COLUMNS):
        rows.setdefault(tuple(values[:4]), []).append(values)
    covered, failed = signatures(db, tables, only_key)
    checked = 0
    last, newest = {}, {}
    for (seq, m, r, d, t, row_hash, pic_hash, at, prev, seal, late, deleted) in db.execute(
            "SELECT Seq,Machine_NO,Record_No,Date_Date,Time_Time,RowHash,PictureHash,"
            "SealedAt,PrevSeal,Seal,Late,Deleted FROM RecordSeal ORDER BY Seq"):
        own = sha(m, r, d, t, row_hash, pic_hash, at, prev, "1" if late else "0")
        if own != seal or prev not in last.get(m, ("",)):
            print("seal %d of %s %s: CHAIN-BROKEN" % (seq, m, r))
            failed += 1
        last[m] = (seal, own)
        newest[(m, r, d, t)] = (row_hash, pic_hash, deleted, own == seal, seq)
    for key, (row_hash, pic_hash, deleted, sound, seq) in newest.items():
        if deleted or not sound:
            continue
        if not is_covered(covered, "seal:" + key[0], seq):
            print("%s %s: UNSIGNED" % key[:2])
            failed += 1
        checked += 1
        match = [v for v in rows.get(key, []) if sha(*v) == row_hash]
        if not match:
            print("%s %s: %s" % (key[0], key[1], "ROW-CHANGED" if key in rows else "ROW-MISSING"))
            failed += 1
        elif pic_hash and picture_hash(root, match[0][36]) != pic_hash:
            print("%s %s: PICTURE-CHANGED or MISSING" % key[:2])
            failed += 1
    prev = ""
    for (seq, *values, prev_hash, hash_) in [] if "AuditLog" not in tables else db.execute(
            "SELECT Seq,At,UserName,HostName,Program,Action,Device,Records,Outcome,PrevHash,Hash "
            "FROM AuditLog ORDER BY Seq"):
        if sha(*values, prev_hash) != hash_ or prev_hash != prev:
            print("audit %d: CHAIN-BROKEN" % seq)
            failed += 1
        elif not is_covered(covered, "audit", seq):
            print("audit %d: UNSIGNED" % seq)
            failed += 1
        prev = hash_
    print("checked: %d, failed: %d" % (checked, failed))
    return 1 if failed else 0

if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2] if len(sys.argv) > 2 else ""))
