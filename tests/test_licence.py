"""The licence declared in pyproject.toml has its text in LICENSE, the notices
of FFTW (which binary wheels bundle) are among the licence files, and the
README says what linking and bundling FFTW (GPL) means for binaries."""
import re
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def test_licence_files_match_the_declared_licence():
    pyproject = (ROOT / "pyproject.toml").read_text()
    declared = re.search(r'^license\s*=\s*"([^"]+)"', pyproject, re.M)
    assert declared and declared.group(1) == "MIT"
    text = (ROOT / "LICENSE").read_text()
    assert text.startswith("MIT License\n")
    assert "Permission is hereby granted, free of charge" in text and "WITHOUT WARRANTY OF ANY KIND" in text
    files = re.search(r"^license-files\s*=\s*\[(.*)\]", pyproject, re.M)
    assert files is not None
    listed = sorted({p.relative_to(ROOT).as_posix() for pattern in re.findall(r'"([^"]+)"', files.group(1))
                     for p in ROOT.glob(pattern)})
    assert listed == ["LICENSE", "LICENSES/FFTW.txt", "LICENSES/GPL-2.0-or-later.txt"]
    fftw = (ROOT / "LICENSES/FFTW.txt").read_text()
    assert "Matteo Frigo" in fftw and "Massachusetts Institute of Technology" in fftw
    assert "MIT AND GPL-2.0-or-later" in fftw
    gpl = (ROOT / "LICENSES/GPL-2.0-or-later.txt").read_text()
    assert "GNU GENERAL PUBLIC LICENSE" in gpl and "Version 2, June 1991" in gpl


def test_readme_explains_linking_fftw():
    section = (ROOT / "README.md").read_text().split("## Licence", 1)[-1]
    assert "FFTW" in section and "GPL" in section and "redistribute" in section
    assert "wheel" in section and "LICENSES/FFTW.txt" in section
