#!/usr/bin/env python3
"""Checks the record seals and the audit trail of a brtx.db with nothing but Python's own
sqlite3 and hashlib, following the rules in docs/integrity.md ("Checking a brtx.db with another
program"). Usage: seal-check.py PROGRAM_FOLDER  (the folder holding brtx.db and pic/).
Prints one line per record or audit entry that fails, then "checked: N, failed: M"."""
import hashlib, os, sqlite3, struct, sys

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

def main(root):
    db = sqlite3.connect(os.path.join(root, "brtx.db"))
    db.text_factory = lambda b: b.decode("utf-8", "surrogateescape")
    tables = {name for (name,) in db.execute("SELECT name FROM sqlite_master WHERE type='table'")}
    if not {"ValueInfo", "RecordSeal"} <= tables:
        print("no seals in this database")
        return 1
    rows = {}
    for values in db.execute("SELECT %s FROM ValueInfo" % COLUMNS):
        rows.setdefault(tuple(values[:4]), []).append(values)
    checked = failed = 0
    last, newest = {}, {}
    for (seq, m, r, d, t, row_hash, pic_hash, at, prev, seal, late, deleted) in db.execute(
            "SELECT Seq,Machine_NO,Record_No,Date_Date,Time_Time,RowHash,PictureHash,"
            "SealedAt,PrevSeal,Seal,Late,Deleted FROM RecordSeal ORDER BY Seq"):
        own = sha(m, r, d, t, row_hash, pic_hash, at, prev, "1" if late else "0")
        if own != seal or prev not in last.get(m, ("",)):
            print("seal %d of %s %s: CHAIN-BROKEN" % (seq, m, r))
            failed += 1
        last[m] = (seal, own)
        newest[(m, r, d, t)] = (row_hash, pic_hash, deleted, own == seal)
    for key, (row_hash, pic_hash, deleted, sound) in newest.items():
        if deleted or not sound:
            continue
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
        prev = hash_
    print("checked: %d, failed: %d" % (checked, failed))
    return 1 if failed else 0

if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
