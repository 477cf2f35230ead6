"""Tallies one scenario of bench/recovery_score.sh: what each restore wrote
against the deleted originals, and the listed conditions against what was
written.

  recovery_tally.py NAME ORIGINALS DELETED_LIST OUT_DIR FLS_ROWS [real]
OUT_DIR holds plain/, vacant/, tsk/ (and carve/, photorec/ when the deep
scan ran), with plain.jsonl, vacant.jsonl (carve.jsonl): the rows listed
with --condition, restored with restore --all into the folder of that name.
"""
import hashlib, json, os, sys

CARVE_KNOWS = {"jpg", "jpeg", "png", "gif", "bmp", "webp", "avi", "wav", "tif", "tiff", "mp4", "m4v", "m4a", "mov",
               "3gp", "mp3", "flac", "ogg", "pdf", "zip", "docx", "xlsx", "pptx", "odt", "ods", "odp", "epub",
               "jar", "apk", "doc", "xls", "ppt", "gz", "7z", "rar", "cr2", "nef", "arw", "dng", "heic"}
HEAD = 4096

name, orig, deleted, out, fls = sys.argv[1:6]
# Conditions are judged on trees of real formats only: random bytes named
# .jpg are no photo, and the content check rightly says so.
real = sys.argv[6:7] == ["real"]


def sha(p):
    return hashlib.sha256(open(p, "rb").read()).hexdigest()


want = {}
for line in open(deleted):
    p = line.strip()
    if p:
        want[p] = sha(os.path.join(orig, p))
own = sum(os.path.getsize(os.path.join(orig, p)) for p in want)
hashes = {}
for p, h in want.items():
    hashes.setdefault(h, p)
heads = {}
for p in want:
    heads.setdefault(hashlib.sha256(open(os.path.join(orig, p), "rb").read(HEAD)).hexdigest(), p)


def tally(root):
    files = same = kept = twice = 0
    written = fillers = 0
    seen = {}
    for d, _, fs in os.walk(root):
        for f in fs:
            full = os.path.join(d, f)
            if f.startswith("filler"):
                # The scenarios' own deleted fillers: restored as they
                # should be, but no part of the tree.
                fillers += 1
                continue
            files += 1
            written += os.path.getsize(full)
            h = sha(full)
            if h not in hashes:
                continue
            seen[h] = seen.get(h, 0) + 1
            if seen[h] == 2:
                twice += 1
            if seen[h] == 1:
                same += 1
                o = hashes[h]
                # Name and folder kept: the file's name and its folder's.
                if f == os.path.basename(o) and os.path.basename(d) == os.path.basename(os.path.dirname(o) or root):
                    kept += 1
    return files, same, kept, twice, written, fillers


def rows_of(path):
    if not os.path.exists(path):
        return []
    return [json.loads(l) for l in open(path) if l.strip()]


def restored_path(rows, root, carve):
    """Where restore --all put each file row: a row inside a listed folder
    goes below that folder's top-most listed level, any other under the
    target itself."""
    folders = set()
    for r in rows:
        if r.get("is_folder"):
            folders.add(r["folder"].rstrip("\\") + "\\" + r["name"])
    paths = {}
    for i, r in enumerate(rows):
        if r.get("is_folder"):
            continue
        parts = [c for c in r["folder"].split("\\")]
        where = [r["name"]]
        for k in range(1, len(parts) + 1):
            prefix = "\\".join(parts[:k])
            if prefix in folders:
                where = parts[k - 1:k] + parts[k:] + [r["name"]]
                break
        paths[i] = os.path.join(root, *[w for w in where if w])
    return paths


def original_of(row, restored, carve):
    """The original a row stands for: by name and folder; a carved row's by
    the restored file's first bytes."""
    folder = row["folder"].rstrip("\\").split("\\")[-1]
    byname = [p for p in want if os.path.basename(p) == row["name"]]
    exact = [p for p in byname if os.path.basename(os.path.dirname(p)) == folder]
    if len(exact) == 1:
        return exact[0]
    if len(byname) == 1:
        return byname[0]
    if not carve:
        return None
    try:
        return heads.get(hashlib.sha256(open(restored, "rb").read(HEAD)).hexdigest())
    except OSError:
        return None


def conditions(label, carve=False):
    rows = rows_of(os.path.join(out, label + ".jsonl"))
    root = os.path.join(out, label)
    if not rows or not os.path.isdir(root):
        return None
    names = {}
    for r in rows:
        if not r.get("is_folder"):
            names[r["name"]] = names.get(r["name"], 0) + 1
    paths = restored_path(rows, root, carve)
    differ_intact = same_damaged = checked = 0
    examples = []
    for i, p in paths.items():
        r = rows[i]
        if names.get(r["name"], 0) > 1 and not carve or not os.path.isfile(p):
            continue  # restored under a shared name: not told apart
        o = original_of(r, p, carve)
        if o is None:
            continue
        ext = r["name"].rsplit(".", 1)[-1].lower()
        checked += 1
        same = sha(p) == want[o]
        cond = r.get("condition")
        if not same and cond == "intact" and ext in CARVE_KNOWS:
            differ_intact += 1
            examples.append(f"differs, shown intact: {r['folder']}\\{r['name']} ({o})")
        if same and cond == "damaged":
            same_damaged += 1
            examples.append(f"identical, shown damaged: {r['folder']}\\{r['name']}")
    return checked, differ_intact, same_damaged, examples


print(f"== {name}: {len(want)} files deleted ({own} bytes)")
counts = {k: len(rows_of(os.path.join(out, k + ".jsonl"))) for k in ("plain", "vacant", "carve")}
line = f"   rows listed: search {counts['plain']}, --scan-vacant {counts['vacant']}"
if os.path.exists(os.path.join(out, "carve.jsonl")):
    line += f", carve {counts['carve']}"
print(line + f"; fls -rd rows {fls}")
for label in ("plain", "vacant", "tsk", "carve", "photorec"):
    root = os.path.join(out, label)
    if not os.path.isdir(root):
        if label in ("plain", "vacant", "tsk"):
            print(f"   {label:8}: nothing written")
        continue
    files, same, kept, twice, written, fillers = tally(root)
    print(f"   {label:8}: {files} files written, {same} byte-identical, {kept} with name and folder, "
          f"{twice} written twice, {written} bytes ({100.0 * written / own if own else 0:.1f}% of the deleted files' bytes)"
          + (f"; and {fillers} deleted fillers" if fillers else ""))
    c = conditions(label, label == "carve") if real else None
    if c:
        checked, differ_intact, same_damaged, examples = c
        print(f"   {'':8}  conditions: {checked} rows checked, {differ_intact} differ but shown intact, "
              f"{same_damaged} identical but shown damaged")
        for e in examples[:5]:
            print(f"   {'':10}{e}")
