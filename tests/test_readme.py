"""Every code block of README.md and of the documentation's pages that say so
runs as written.

The ```python blocks run with this interpreter and the ```sh blocks with
bash (-e, -o pipefail), the interpreter's folder first on PATH (as in an
activated virtual environment), each in a fresh temporary folder holding the
field records as the README names them: `shots/` (WGHS) and `oysand/`. The
blocks run in order within one folder per section, so a block may use what
an earlier one of its section wrote. A block whose first line is a comment
starting "# set-up:" (installing packages, running the whole suite, the
review server that runs until Ctrl-C) is not run; the README says so in that
line. The pages of docs/ (reStructuredText) whose first line is the comment
".. test_readme: ..." take part the same way: their ``.. code-block:: python``
and ``.. code-block:: sh`` blocks run in order, in one folder per page. The
gallery's examples (docs/examples) run in the documentation build instead
(tools/docs.sh). The browser that `molvak.review` opens is a no-op ($BROWSER=true). Blocks that read field records are
skipped where the records are not installed.
"""
import os
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
FENCE = re.compile(r"^```(python|sh)\n(.*?)^```\n", re.S | re.M)
DOCS = ROOT / "docs"
PAGE_MARK = ".. test_readme:"
# a reStructuredText code block: the directive, a blank line, the indented code
RST_BLOCK = re.compile(r"^\.\. code-block:: (python|sh)\n\n((?:(?:[ ]{3}.*)?\n)+)", re.M)
SETUP = "# set-up:"
LIMIT = 240             # seconds for one block: far above what any takes


def _where(section):
    """The page a block comes from, for messages ("" for the README)."""
    return f"{section} " if section.startswith("docs/") else ""


def blocks():
    text = README.read_text(encoding="utf-8")
    found = []
    for match in FENCE.finditer(text):
        line = text.count("\n", 0, match.start()) + 1
        section = ([m for m in re.finditer(r"^## (.+)$", text[:match.start()], re.M)]
                   or [None])[-1]
        found.append((match.group(1), match.group(2), line,
                      section.group(1) if section is not None else ""))
    return found + page_blocks()


def pages():
    """The documentation pages whose code blocks run here."""
    return sorted(p for p in DOCS.rglob("*.rst")
                  if "_build" not in p.parts and "generated" not in p.parts
                  and p.read_text(encoding="utf-8").startswith(PAGE_MARK))


def page_blocks():
    found = []
    for page in pages():
        text = page.read_text(encoding="utf-8")
        name = str(page.relative_to(ROOT))
        for match in RST_BLOCK.finditer(text):
            line = text.count("\n", 0, match.start()) + 1
            code = textwrap.dedent(match.group(2)).strip("\n") + "\n"
            found.append((match.group(1), code, line, name))
    return found


BLOCKS = blocks()


def test_the_readme_has_blocks_and_says_which_it_leaves_out():
    kinds = [kind for kind, _, _, _ in BLOCKS]
    assert kinds.count("python") >= 8 and kinds.count("sh") >= 4
    skipped = [code for _, code, _, _ in BLOCKS if code.startswith(SETUP)]
    # only set-up commands (installing, the whole suite) and the server that
    # runs until Ctrl-C
    assert skipped and all(re.search(r"tools/(demo|test|bootstrap)\.sh|pip install|"
                                     r"serves until Ctrl-C", code) for code in skipped)


@pytest.fixture(scope="module")
def folders(tmp_path_factory):
    # the README's commands are those of the environment molvak is installed
    # in (the sanitizer and NumPy 1.26 runs import a build from a folder)
    if shutil.which("molvak", path=os.path.dirname(sys.executable)) is None:
        pytest.skip("molvak is not installed beside this interpreter")
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("under a preloaded AddressSanitizer runtime matplotlib's extensions abort")
    return {}


@pytest.mark.parametrize("kind, code, line, section", BLOCKS,
                         ids=[f"{_where(section)}line{line}-{kind}" for kind, _, line, section in BLOCKS])
def test_block_runs(kind, code, line, section, folders, tmp_path_factory):
    if code.startswith(SETUP):
        pytest.skip(f"{_where(section) or 'README '}line {line}: a set-up command, not run here")
    here = folders.get(section)
    if here is None:
        here = folders[section] = tmp_path_factory.mktemp("readme")
        field = _field_root()
        if field is not None:
            (here / "shots").symlink_to(field / "wghs" / "shots")
            (here / "oysand").symlink_to(field / "oysand")
    if ("shots/" in code or "oysand/" in code) and not (here / "shots").exists():
        pytest.skip("field records not installed (set MOLVAK_FIELD_DATA)")
    env = {**os.environ, "MPLBACKEND": "Agg", "BROWSER": "true",
           "PATH": os.pathsep.join([os.path.dirname(sys.executable), os.environ["PATH"]])}
    env.pop("PYTHONWARNINGS", None)
    if kind == "python":
        command = [sys.executable, "-c", code]
    else:
        command = ["bash", "-euo", "pipefail", "-c", code]
    run = subprocess.run(command, cwd=here, env=env, capture_output=True, text=True,
                         timeout=LIMIT, stdin=subprocess.DEVNULL)
    assert run.returncode == 0, (f"{_where(section) or 'README '}line {line} ({kind}) failed with status "
                                 f"{run.returncode}:\n{run.stdout[-2000:]}\n{run.stderr[-4000:]}")


def _field_root():
    given = os.environ.get("MOLVAK_FIELD_DATA")
    root = Path(given) if given else ROOT.parent / "shared" / "data" / "field"
    return root if (root / "wghs" / "shots").is_dir() and (root / "oysand").is_dir() else None
