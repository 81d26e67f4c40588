"""The main job's verdict on an upload: the stored file must be the produced one, the page done."""

import importlib.util
import json

import pytest

from tavro_paths import ROOT

spec = importlib.util.spec_from_file_location("check_upload", ROOT / "scripts" / "e2e" / "check_upload.py")
check_upload = importlib.util.module_from_spec(spec)
spec.loader.exec_module(check_upload)


def job(tmp_path, state="done", stored_bytes=b"asset", upload_id="u1"):
    work = tmp_path / "work"
    work.mkdir()
    produced = tmp_path / "lumo_stage_a.png"
    produced.write_bytes(b"asset")
    stored = tmp_path / "store.png"
    stored.write_bytes(stored_bytes)
    (work / "produced.txt").write_text(str(produced))
    (work / "page.json").write_text(json.dumps({"state": state, "upload_id": upload_id}))
    return work, [{"id": "other", "path": "/nowhere"}, {"id": "u1", "path": str(stored)}]


def test_identical_upload_of_a_finished_page(tmp_path):
    work, records = job(tmp_path)
    lines, ok = check_upload.check(work, records)
    assert ok and lines[0] == "import page finished in state 'done'"
    assert lines[2].startswith("  5 bytes, sha256 ") and lines[2].endswith("lumo_stage_a.png: True")


@pytest.mark.parametrize("fault", [dict(stored_bytes=b"other"), dict(state="error-upload"),
                                   dict(upload_id=None)])
def test_a_different_file_an_unfinished_page_or_no_upload_fail(tmp_path, fault):
    lines, ok = check_upload.check(*job(tmp_path, **fault))
    assert not ok
    if "upload_id" in fault:
        assert lines[-1] == "no upload None on the site"
