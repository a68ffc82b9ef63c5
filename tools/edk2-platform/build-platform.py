#!/usr/bin/env python3
"""Builds the minimal EDK II platform in this folder with the lines README.md gives integrators.

  build-platform.py FIRMWARE_DIR WORK_DIR [--readme FILE] [--drop TEXT] [--compose-only]

Copies BoardPkg/ into WORK_DIR and adds the README's DSC and FDF lines (the first code block of
its "Integrating into a platform" section) to Platform.dsc and Platform.fdf, each under its own
section: the lines before a "..." line go first in the section, the others last. Then it copies
the .inf, .efi and .depex of every driver those lines name from FIRMWARE_DIR into
BoardPkg/Binaries/ and runs EDK II's build with the tools scripts/edk2-tools.sh built.

Prints the flash device image's path. On failure it prints one line on why and exits 1.
--drop leaves out the README lines that contain TEXT (to show what a line is for);
--compose-only stops before the build.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
CACHE = os.environ.get("EDK2_TOOLS_CACHE", os.path.join(ROOT, ".cache", "edk2"))
SECTION_TITLE = "## Integrating into a platform"
IMAGE = "Build/BoardPlatform/RELEASE_GCC5/FV/BOARD.fd"


class Refused(Exception):
    """Why the platform cannot be built, in one line."""


def integrator_lines(readme):
    """The README's integrator block: {file: [(section, head lines, tail lines)]}."""
    lines = readme.splitlines()
    try:
        start = lines.index(SECTION_TITLE)
        fence = next(i for i in range(start, len(lines)) if lines[i].startswith("```"))
        end = next(i for i in range(fence + 1, len(lines)) if lines[i].startswith("```"))
    except (ValueError, StopIteration):
        raise Refused("README.md has no code block under '%s'" % SECTION_TITLE)
    sections = {}
    body = None
    for line in lines[fence + 1:end]:
        header = re.match(r"^(\[[^\]]+\])\s*#\s*(Platform\.(?:dsc|fdf))", line)
        if header:
            body = []
            sections.setdefault(header.group(2), []).append((header.group(1), body))
        elif not line.strip():
            body = None
        elif body is None:
            raise Refused("README.md: a line outside a [section] # Platform.dsc/fdf: " + line)
        else:
            body.append(line)
    result = {}
    for name, entries in sections.items():
        result[name] = []
        for section, body in entries:
            split = next((i for i, l in enumerate(body) if l.split()[0] == "..."), None)
            if split is None:
                result[name].append((section, [], body))
            else:
                result[name].append((section, body[:split], body[split + 1:]))
    if "Platform.dsc" not in result or "Platform.fdf" not in result:
        raise Refused("README.md's integrator block lacks Platform.dsc or Platform.fdf lines")
    return result


def merge(skeleton, additions):
    """The skeleton with each addition's head and tail placed in its section."""
    out = []
    pending_tail = []
    placed = set()
    for line in skeleton.splitlines():
        if line.startswith("["):
            out.extend(pending_tail)
            pending_tail = []
            out.append(line)
            for section, head, tail in additions:
                if line.split("#")[0].strip() == section:
                    out.extend(head)
                    pending_tail = tail
                    placed.add(section)
            continue
        out.append(line)
    out.extend(pending_tail)
    for section, head, tail in additions:
        if section not in placed:
            out.extend(["", section] + head + tail)
    return "\n".join(out) + "\n"


def drivers_named(dsc_additions):
    names = []
    for _, head, tail in dsc_additions:
        for line in head + tail:
            match = re.search(r"Binaries/(\w+)\.inf", line)
            if match:
                names.append(match.group(1))
    if not names:
        raise Refused("README.md's DSC lines name no driver INF in a Binaries/ folder")
    return names


def compose(readme, firmware, work, drop):
    try:
        with open(readme, encoding="utf-8") as f:
            blocks = integrator_lines(f.read())
    except OSError:
        raise Refused("cannot read " + readme)
    if drop:
        blocks = {name: [(s, [l for l in h if drop not in l], [l for l in t if drop not in l])
                         for s, h, t in entries]
                  for name, entries in blocks.items()}
    package = os.path.join(work, "BoardPkg")
    shutil.rmtree(package, ignore_errors=True)
    shutil.copytree(os.path.join(HERE, "BoardPkg"), package)
    for name, additions in blocks.items():
        path = os.path.join(package, name)
        with open(path, encoding="utf-8") as f:
            text = merge(f.read(), additions)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
    binaries = os.path.join(package, "Binaries")
    os.makedirs(binaries)
    for driver in drivers_named(blocks["Platform.dsc"]):
        for suffix in (".inf", ".efi", ".depex"):
            source = os.path.join(firmware, driver + suffix)
            if not os.path.isfile(source):
                raise Refused("no %s in %s: build the package first" % (driver + suffix, firmware))
            shutil.copy(source, binaries)


def build(work, dsc="BoardPkg/Platform.dsc", output=IMAGE):
    """Runs EDK II's build of `dsc` in `work`; the path of its `output`."""
    if not os.path.isfile(os.path.join(CACHE, "ready")):
        raise Refused("the EDK II tools are not set up (run scripts/setup.sh)")
    edk2 = os.path.join(CACHE, "edk2")
    tools = os.path.join(edk2, "BaseTools")
    conf = os.path.join(work, "Conf")
    os.makedirs(conf, exist_ok=True)
    for template, name in (("target", "target.txt"), ("tools_def", "tools_def.txt"),
                           ("build_rule", "build_rule.txt")):
        shutil.copy(os.path.join(tools, "Conf", template + ".template"), os.path.join(conf, name))
    env = dict(os.environ, WORKSPACE=work, PACKAGES_PATH=work + ":" + edk2,
               EDK_TOOLS_PATH=tools, CONF_PATH=conf, PYTHON_COMMAND=sys.executable,
               PATH=os.path.join(tools, "BinWrappers", "PosixLike") + ":" + os.environ["PATH"])
    log = os.path.join(work, "build.log")
    with open(log, "w", encoding="utf-8") as out:
        status = subprocess.call(
            ["build", "-p", dsc, "-a", "X64", "-t", "GCC5", "-b", "RELEASE", "-n", "2"],
            cwd=work, env=env, stdout=out, stderr=subprocess.STDOUT)
    image = os.path.join(work, output)
    if status != 0 or not os.path.isfile(image):
        with open(log, encoding="utf-8", errors="replace") as f:
            text = f.read()
        # An error line and the line after it, which carries GenFv's detail.
        errors = re.findall(r"^(.*(?:ERROR|error) \d+.*)\n(.*)$", text, re.MULTILINE)
        detail = " ".join(" ".join(errors[0]).split()) if errors else "no error line"
        raise Refused("EDK II's build failed: %s (log: %s)" % (detail, log))
    return image


def main():
    parser = argparse.ArgumentParser(description="Builds the minimal EDK II platform with the "
                                     "README's integrator lines.")
    parser.add_argument("firmware_dir")
    parser.add_argument("work_dir")
    parser.add_argument("--readme", default=os.path.join(ROOT, "README.md"),
                        help="where the integrator lines are (default: the repository's)")
    parser.add_argument("--drop", metavar="TEXT", help="leave out the README lines holding TEXT")
    parser.add_argument("--compose-only", action="store_true", help="stop before the build")
    args = parser.parse_args()
    work = os.path.abspath(args.work_dir)
    try:
        os.makedirs(work, exist_ok=True)
        compose(args.readme, os.path.abspath(args.firmware_dir), work, args.drop)
        print(os.path.join(work, "BoardPkg") if args.compose_only else build(work))
    except Refused as why:
        print("build-platform: %s" % why)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
