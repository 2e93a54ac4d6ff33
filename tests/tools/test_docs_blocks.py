"""The generated blocks of README.md and docs/: each names a script that
exists, and the helper rewrites exactly the blocks it is given."""
import re
import sys

import pytest

from tools_support import REPOSITORY

sys.path.insert(0, str(REPOSITORY / "scripts" / "docs"))
from doc_blocks import blocks_in, replace_blocks  # noqa: E402

MARKER = re.compile(r"<!-- generated: ([\w.-]+) \(([^)]*)\) -->")
DOCUMENTS = [REPOSITORY / "README.md", *sorted((REPOSITORY / "docs").glob("*.md"))]


@pytest.mark.parametrize("document", DOCUMENTS, ids=lambda path: path.name)
def test_every_block_is_closed_and_names_a_script_that_writes_it(document):
    text = document.read_text(encoding="utf-8")
    opened = MARKER.findall(text)
    assert len(blocks_in(text)) == len(opened), "a generated block lacks its end marker"
    for name, script in opened:
        path = REPOSITORY / script
        assert path.is_file(), f"{document.name}: block {name} names {script}, which does not exist"
        assert f'"{name}"' in path.read_text(encoding="utf-8"), f"{script} never writes block {name}"


def test_replace_blocks_rewrites_only_the_named_blocks(tmp_path):
    page = tmp_path / "page.md"
    page.write_text(
        "intro 1.0\n"
        "<!-- generated: a (x.py) -->\nold a\n<!-- end: a -->\n"
        "middle 2.0\n"
        "<!-- generated: b (x.py) -->\nold b\n<!-- end: b -->\n"
    )
    assert replace_blocks(page, {"a": "new a 3.0"}) == 1
    assert page.read_text() == (
        "intro 1.0\n"
        "<!-- generated: a (x.py) -->\nnew a 3.0\n<!-- end: a -->\n"
        "middle 2.0\n"
        "<!-- generated: b (x.py) -->\nold b\n<!-- end: b -->\n"
    )
    assert replace_blocks(page, {"a": "new a 3.0\n"}) == 0
    with pytest.raises(KeyError, match="no generated block named c"):
        replace_blocks(page, {"a": "x", "c": "y"})
    assert "new a 3.0" in page.read_text()  # nothing written when a name is missing
