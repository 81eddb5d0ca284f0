"""The licence declared in pyproject.toml has its text in LICENSE, and the
README says what linking FFTW (GPL) means for redistributed binaries."""
import re
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def test_licence_file_matches_the_declared_licence():
    declared = re.search(r'^license\s*=\s*\{\s*text\s*=\s*"([^"]+)"', (ROOT / "pyproject.toml").read_text(), re.M)
    assert declared and declared.group(1) == "MIT"
    text = (ROOT / "LICENSE").read_text()
    assert text.startswith("MIT License\n")
    assert "Permission is hereby granted, free of charge" in text and "WITHOUT WARRANTY OF ANY KIND" in text


def test_readme_explains_linking_fftw():
    section = (ROOT / "README.md").read_text().split("## Licence", 1)[-1]
    assert "FFTW" in section and "GPL" in section and "redistribute" in section
