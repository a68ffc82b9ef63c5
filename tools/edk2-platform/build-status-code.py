#!/usr/bin/env python3
"""Builds EDK II's status-code handler with serial output into a volume of its own.

  build-status-code.py WORK_DIR

StatusCodePkg/ holds the build: EDK II's StatusCodeHandlerRuntimeDxe from the edk2 source that
scripts/edk2-tools.sh fetched, with PcdStatusCodeUseSerial on, printing on COM3's port. A DEBUG
image's firmware run hands the volume to the DXE core before the drivers' own (boardsim
--firmware --debug-images), so that EDK II's code, not ours, turns each record into text.

Prints the volume's path. On failure it prints one line on why and exits 1.
"""

import argparse
import importlib.util
import os
import shutil
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
VOLUME = "Build/StatusCode/RELEASE_GCC5/FV/STATUSCODE.Fv"


def platform_builder():
    """build-platform.py, whose EDK II build this one shares."""
    spec = importlib.util.spec_from_file_location("build_platform",
                                                  os.path.join(HERE, "build-platform.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def main():
    parser = argparse.ArgumentParser(description="Builds EDK II's status-code handler with "
                                     "serial output into a volume of its own.")
    parser.add_argument("work_dir")
    args = parser.parse_args()
    builder = platform_builder()
    work = os.path.abspath(args.work_dir)
    try:
        os.makedirs(work, exist_ok=True)
        package = os.path.join(work, "StatusCodePkg")
        shutil.rmtree(package, ignore_errors=True)
        shutil.copytree(os.path.join(HERE, "StatusCodePkg"), package)
        print(builder.build(work, "StatusCodePkg/StatusCode.dsc", VOLUME))
    except builder.Refused as why:
        print("build-status-code: %s" % why)
        return 1
    except OSError as error:
        print("build-status-code: %s" % error)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
