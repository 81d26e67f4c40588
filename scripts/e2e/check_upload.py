"""The main job's last step: what the import page reported, where the development site stored
the upload, and whether it is byte for byte the file Blender produced. Exits 1 otherwise.

    python check_upload.py WORK_DIR SITE_URL
"""

import hashlib
import json
import pathlib
import sys
import urllib.request


def sha256(path):
    return hashlib.sha256(pathlib.Path(path).read_bytes()).hexdigest()


def check(work, records):
    """The lines to print and whether the upload is the produced file, from the job's folder
    (page.json, produced.txt, the page screenshot) and the site's upload records."""
    page = json.loads((work / "page.json").read_text())
    lines = [f"import page finished in state {page['state']!r}"]
    produced = pathlib.Path((work / "produced.txt").read_text())
    rec = next((r for r in records if r["id"] == page.get("upload_id")), None)
    if rec is None:
        return lines + [f"no upload {page.get('upload_id')!r} on the site"], False
    stored = pathlib.Path(rec["path"])
    digest = sha256(stored)
    same = digest == sha256(produced)
    lines += [f"uploaded file {stored}",
              f"  {stored.stat().st_size} bytes, sha256 {digest}, identical to {produced.name}: {same}",
              f"  page screenshot {work / 'import-page.png'}"]
    return lines, same and page["state"] == "done"


if __name__ == "__main__":
    work, site = pathlib.Path(sys.argv[1]), sys.argv[2]
    records = json.load(urllib.request.urlopen(site + "/api/uploads", timeout=5))
    lines, ok = check(work, records)
    for line in lines:
        print("main:", line)
    sys.exit(0 if ok else 1)
