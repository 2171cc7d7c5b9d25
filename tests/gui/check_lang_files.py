#!/usr/bin/env python3
"""Checks the translation files: every Corvane_*.uln carries exactly the keys
of Corvane_US.uln, each once, with the same %s placeholders, and menu
accelerators do not collide. Usage: check_lang_files.py <folder>"""

import codecs
import pathlib
import re
import sys

# Captions the program never shows as text (drawn over a picture or a panel)
# and the language buttons, which keep their own-language names.
FORBIDDEN = {"CorvaneMainForm.PlayPauseBtn.Caption", "CorvaneMainForm.SettingsBtn.Caption",
             "CorvaneMainForm.ToolbarPanel.Caption"} | {
    f"SettingsForm.{code}.Caption" for code in ("DA", "DE", "ES", "FR", "IT", "NL", "PL", "US")}

# Accelerators that share one menu must differ.
MENUS = [["File1", "Tools", "Help1"], ["Manual1", "CheckUpdate1", "About1"]]


def decode(data):
    for bom, codec in ((codecs.BOM_UTF16_LE, "utf-16-le"), (codecs.BOM_UTF16_BE, "utf-16-be"),
                       (codecs.BOM_UTF8, "utf-8")):
        if data.startswith(bom):
            return data[len(bom):].decode(codec)
    return data.decode("utf-8")


def parse(path, errors):
    """The loader's rules: trimmed lines, ';' comments, [section], name=value."""
    table, section, sections = {}, None, set()
    for raw in re.split(r"\r\n|\r|\n", decode(path.read_bytes())):
        line = raw.strip()
        if not line or line.startswith(";"):
            continue
        if line.startswith("[") and line.endswith("]"):
            section = line[1:-1].strip()
            if section.lower() in sections:
                errors.append(f"{path.name}: section [{section}] repeats")
            sections.add(section.lower())
            continue
        if section is None or "=" not in line:
            errors.append(f"{path.name}: stray line {line!r}")
            continue
        name, value = line.split("=", 1)
        key = f"{section}.{name.strip()}"
        if key in table:
            errors.append(f"{path.name}: {key} repeats")
        table[key] = value
    return table


def mnemonic(text):
    m = re.search(r"&([^&])", text.replace("&&", ""))
    return m.group(1).lower() if m else None


def main(folder):
    folder = pathlib.Path(folder)
    errors = []
    reference = parse(folder / "Corvane_US.uln", errors)
    files = sorted(folder.glob("Corvane_*.uln"))
    if len(files) != 8:
        errors.append(f"expected 8 translation files, found {len(files)}")
    for path in files:
        table = parse(path, errors)
        for key in sorted(reference.keys() - table.keys()):
            errors.append(f"{path.name}: missing {key}")
        for key in sorted(table.keys() - reference.keys()):
            errors.append(f"{path.name}: extra key {key}")
        for key in sorted(table.keys() & FORBIDDEN):
            errors.append(f"{path.name}: {key} must not be translated")
        for key, value in table.items():
            if not value.strip():
                errors.append(f"{path.name}: {key} is empty")
            if re.search(r"\\[^n\\]", value.replace("\\\\", "")):
                errors.append(f"{path.name}: {key} has an unknown escape")
            if key in reference and value.count("%s") != reference[key].count("%s"):
                errors.append(f"{path.name}: {key} has a different number of %s")
        for menu in MENUS:
            keys = [f"CorvaneMainForm.{item}.Caption" for item in menu]
            marks = [mnemonic(table.get(k, "")) for k in keys]
            marks = [m for m in marks if m]
            if len(marks) != len(set(marks)):
                errors.append(f"{path.name}: accelerators collide in {', '.join(menu)}")
    for e in errors:
        print(e)
    print(f"{len(files)} files checked, {len(errors)} problems")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
